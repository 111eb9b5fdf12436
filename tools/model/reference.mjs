// Runs the original model with TensorFlow.js on its pure-JS CPU backend, the reference the
// converted network is checked against.
// Usage: node reference.mjs PIXELS COUNT LAYER[,LAYER...] OUT.json
//   PIXELS holds COUNT pictures of 224x224 RGB bytes, row by row. The model sees rgb / 255, as
//   nsfwjs feeds it. OUT.json maps each layer to COUNT rows: a layer with a spatial output gives
//   its global average over rows and columns (one value per channel), any other its output.
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
const layerNames = layerList.split(',');
const probe = tf.model({ inputs: model.inputs, outputs: layerNames.map((name) => model.getLayer(name).output) });

const results = Object.fromEntries(layerNames.map((name) => [name, []]));
for (let index = 0; index < count; ++index) {
  const picture = pixels.subarray(index * side * side * 3, (index + 1) * side * side * 3);
  const input = tf.tensor4d(Float32Array.from(picture), [1, side, side, 3]).div(255);
  const outputs = [probe.predict(input)].flat();
  outputs.forEach((output, position) => {
    const row = output.rank === 4 ? output.mean([1, 2]) : output;
    results[layerNames[position]].push(Array.from(row.dataSync()));
  });
  tf.dispose([input, ...outputs]);
}
writeFileSync(outputPath, JSON.stringify(results));
