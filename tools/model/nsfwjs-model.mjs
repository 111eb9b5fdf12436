// The MobileNetV2 that nsfwjs bundles: its Keras topology and weights, read from the package's
// JavaScript modules, and the same model loaded into TensorFlow.js on the pure-JS CPU backend.
import * as tf from '@tensorflow/tfjs';
import { MobileNetV2Model } from 'nsfwjs/models/mobilenet_v2';

// The package keeps model.json as the default export of one module and each weight shard,
// base64-encoded, as the default export of another, loaded in the manifest's order.
export async function loadArtifacts() {
  const modelJson = (await MobileNetV2Model.modelJson()).default;
  const paths = modelJson.weightsManifest.flatMap((group) => group.paths);
  if (paths.length !== MobileNetV2Model.weightBundles.length) throw new Error('weight shards do not match the manifest');
  const shards = [];
  for (const loadShard of MobileNetV2Model.weightBundles) shards.push(Buffer.from((await loadShard()).default, 'base64'));
  const weightSpecs = modelJson.weightsManifest.flatMap((group) => group.weights);
  const bytes = Buffer.concat(shards);
  const weightData = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
  return { modelTopology: modelJson.modelTopology, weightSpecs, weightData };
}

export async function useCpuBackend() {
  await tf.setBackend('cpu');
  await tf.ready();
  if (tf.getBackend() !== 'cpu') throw new Error(`expected the cpu backend, got ${tf.getBackend()}`);
}

export async function loadLayersModel() {
  const { modelTopology, weightSpecs, weightData } = await loadArtifacts();
  return tf.loadLayersModel(tf.io.fromMemory({ modelTopology, weightSpecs, weightData }));
}

export { tf };
