// Runs the original model with TensorFlow.js on its pure-JS CPU backend, the reference the
// converted network is checked against.
// Usage: node reference.mjs PIXELS COUNT LAYER[@max|@gem][,LAYER[@max|@gem]...] OUT.json [LEARNED]
//   PIXELS holds COUNT pictures of 224x224 RGB bytes, row by row. The model sees rgb / 255, as
//   nsfwjs feeds it. OUT.json maps each requested name to COUNT rows: a layer with a spatial
//   output gives its average over rows and columns per channel (with @max, its maximum; with
//   @gem, the cube root of the mean of the cubes), any other its output. With LEARNED, a learned
//   parts file (tools/model/LearnedParts.h), a layer named tuned_LAYER is LAYER of a second copy of
//   the model whose weights have the file's deltas added, as the converter's tuned blocks do.
import { readFileSync, writeFileSync } from 'node:fs';
import { loadLayersModel, tf, useCpuBackend } from './nsfwjs-model.mjs';

const [pixelsPath, countText, layerList, outputPath, learnedPath] = process.argv.slice(2);
if (!outputPath) throw new Error('usage: node reference.mjs PIXELS COUNT LAYER[,LAYER...] OUT.json');
const count = Number(countText);
const side = 224;
const pixels = readFileSync(pixelsPath);
if (!(count > 0) || pixels.length !== count * side * side * 3) throw new Error(`${pixelsPath} does not hold ${countText} pictures`);

await useCpuBackend();
const model = await loadLayersModel();
const tunedPrefix = 'tuned_';

function halfToFloat(half) {
  const exponent = (half >> 10) & 0x1f;
  const mantissa = half & 0x3ff;
  const magnitude = exponent === 0 ? mantissa * 2 ** -24
    : exponent === 31 ? (mantissa ? NaN : Infinity) : (mantissa + 1024) * 2 ** (exponent - 25);
  return half & 0x8000 ? -magnitude : magnitude;
}

// The model with each delta of the learned parts file added to its weight, in float32.
async function tunedModel(path) {
  const bytes = readFileSync(path);
  const firstEnd = bytes.indexOf(10);
  const secondEnd = bytes.indexOf(10, firstEnd + 1);
  if (bytes.subarray(0, firstEnd).toString() !== 'likeness-learned-parts 1') throw new Error(`${path} is not a learned parts file`);
  const header = JSON.parse(bytes.subarray(firstEnd + 1, secondEnd).toString());
  const data = bytes.subarray(secondEnd + 1);
  const tuned = await loadLayersModel();
  for (const entry of header.arrays.filter(({ name }) => name.startsWith('delta:'))) {
    if (entry.type !== 'float16') throw new Error(`${entry.name} is not float16`);
    const weightName = entry.name.slice('delta:'.length);
    const layer = tuned.getLayer(weightName.split('/')[0]);
    const values = layer.getWeights();
    const index = layer.weights.findIndex((weight) => weight.originalName === weightName);
    if (index < 0) throw new Error(`no weight ${weightName}`);
    const sum = Float32Array.from(values[index].dataSync());
    for (let at = 0; at < sum.length; ++at) sum[at] += halfToFloat(data.readUInt16LE(entry.offset + 2 * at));
    values[index] = tf.tensor(sum, values[index].shape);
    layer.setWeights(values);
  }
  return tuned;
}
const requests = layerList.split(',').map((request) => {
  const [layer, pooling = 'mean'] = request.split('@');
  if (pooling !== 'mean' && pooling !== 'max' && pooling !== 'gem') throw new Error(`unknown pooling in ${request}`);
  return { request, layer, pooling };
});
const layers = [...new Set(requests.map(({ layer }) => layer))];
const tuned = learnedPath ? await tunedModel(learnedPath) : null;
const outputOf = (layer) => (layer.startsWith(tunedPrefix) && tuned
  ? tuned.getLayer(layer.slice(tunedPrefix.length)) : model.getLayer(layer)).output;
const originalLayers = layers.filter((layer) => !(tuned && layer.startsWith(tunedPrefix)));
const tunedLayers = layers.filter((layer) => tuned && layer.startsWith(tunedPrefix));
const probes = [[model, originalLayers], [tuned, tunedLayers]].filter(([, wanted]) => wanted.length)
  .map(([source, wanted]) => ({ wanted, probe: tf.model({ inputs: source.inputs, outputs: wanted.map(outputOf) }) }));

const results = Object.fromEntries(requests.map(({ request }) => [request, []]));
for (let index = 0; index < count; ++index) {
  const picture = pixels.subarray(index * side * side * 3, (index + 1) * side * side * 3);
  const input = tf.tensor4d(Float32Array.from(picture), [1, side, side, 3]).div(255);
  const named = new Map();
  for (const { wanted, probe } of probes) [probe.predict(input)].flat().forEach((output, at) => named.set(wanted[at], output));
  const outputs = [...named.values()];
  for (const { request, layer, pooling } of requests) {
    const output = named.get(layer);
    const pool = (tensor) => (pooling === 'gem' ? tf.tidy(() => tensor.pow(3).mean([1, 2]).pow(1 / 3)) : tensor[pooling]([1, 2]));
    const row = output.rank === 4 ? pool(output) : output;
    results[request].push(Array.from(row.dataSync()));
    if (row !== output) row.dispose();
  }
  tf.dispose([input, ...outputs]);
}
writeFileSync(outputPath, JSON.stringify(results));
