// Writes the bundled Keras model in a neutral form for the C++ converter:
//   OUTDIR/keras-model.json  the layers (name, class, config, inputs) and, per weight, its
//                            shape and offset in float32 values into keras-weights.bin
//   OUTDIR/keras-weights.bin the weights as little-endian float32, dequantized by tfjs itself
// Usage: node dump-model.mjs OUTDIR
import { mkdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { loadArtifacts, tf, useCpuBackend } from './nsfwjs-model.mjs';

const outputDirectory = process.argv[2];
if (!outputDirectory) throw new Error('usage: node dump-model.mjs OUTDIR');

await useCpuBackend();
const { modelTopology, weightSpecs, weightData } = await loadArtifacts();
const tensors = tf.io.decodeWeights(weightData, weightSpecs);

const weights = {};
const chunks = [];
let offset = 0;
for (const weight of weightSpecs) {
  const values = tensors[weight.name].dataSync();
  if (!(values instanceof Float32Array)) throw new Error(`${weight.name} did not decode to float32`);
  weights[weight.name] = { shape: weight.shape, offset };
  chunks.push(Buffer.from(values.buffer, values.byteOffset, values.byteLength));
  offset += values.length;
}
if (!new Uint8Array(new Uint16Array([1]).buffer)[0]) throw new Error('keras-weights.bin must be little-endian');

const layers = modelTopology.model_config.config.layers.map((layer) => ({
  name: layer.config.name,
  class: layer.class_name,
  config: layer.config,
  inputs: (layer.inbound_nodes[0] ?? []).map((input) => input[0]),
}));
mkdirSync(outputDirectory, { recursive: true });
writeFileSync(join(outputDirectory, 'keras-weights.bin'), Buffer.concat(chunks));
writeFileSync(join(outputDirectory, 'keras-model.json'), JSON.stringify({ layers, weights }, null, 1));
console.log(`dump-model: ${layers.length} layers, ${weightSpecs.length} weights, ${offset} values`);
