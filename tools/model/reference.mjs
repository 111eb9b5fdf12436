// Runs the original model with TensorFlow.js on its pure-JS CPU backend, the reference the
// converted network is checked against.
// Usage: node reference.mjs PIXELS COUNT LAYER[@max|@gem][,LAYER[@max|@gem]...] OUT.json
//   PIXELS holds COUNT pictures of 224x224 RGB bytes, row by row. The model sees rgb / 255, as
//   nsfwjs feeds it. OUT.json maps each requested name to COUNT rows: a layer with a spatial
//   output gives its average over rows and columns per channel (with @max, its maximum; with
//   @gem, the cube root of the mean of the cubes), any other its output.
import { readFileSync, writeFileSync } from 'node:fs';
import { loadLayersModel, tf, useCpuBackend } from './nsfwjs-model.mjs';

const [pixelsPath, countText, layerList, outputPath] = process.argv.slice(2);
if (!outputPath) throw new Error('usage: node reference.mjs PIXELS COUNT LAYER[,LAYER...] OUT.json');
const count = Number(countText);
const side = 224;
const pixels = readFileSync(pixelsPath);
if (!(count > 0) || pixels.length !== count * side * side * 3) throw new Error(`${pixelsPath} does not hold ${countText} pictures`);

await useCpuBackend();
const model = await loadLayersModel();
const requests = layerList.split(',').map((request) => {
  const [layer, pooling = 'mean'] = request.split('@');
  if (pooling !== 'mean' && pooling !== 'max' && pooling !== 'gem') throw new Error(`unknown pooling in ${request}`);
  return { request, layer, pooling };
});
const layers = [...new Set(requests.map(({ layer }) => layer))];
const probe = tf.model({ inputs: model.inputs, outputs: layers.map((layer) => model.getLayer(layer).output) });

const results = Object.fromEntries(requests.map(({ request }) => [request, []]));
for (let index = 0; index < count; ++index) {
  const picture = pixels.subarray(index * side * side * 3, (index + 1) * side * side * 3);
  const input = tf.tensor4d(Float32Array.from(picture), [1, side, side, 3]).div(255);
  const outputs = [probe.predict(input)].flat();
  for (const { request, layer, pooling } of requests) {
    const output = outputs[layers.indexOf(layer)];
    const pool = (tensor) => (pooling === 'gem' ? tf.tidy(() => tensor.pow(3).mean([1, 2]).pow(1 / 3)) : tensor[pooling]([1, 2]));
    const row = output.rank === 4 ? pool(output) : output;
    results[request].push(Array.from(row.dataSync()));
    if (row !== output) row.dispose();
  }
  tf.dispose([input, ...outputs]);
}
writeFileSync(outputPath, JSON.stringify(results));
