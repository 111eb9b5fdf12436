// The page's HTML, style and script. The body's data-state attribute says what the page is doing
// (idle, searching, results, adding, renaming, error), so a script driving it can tell when it is
// done.
#include "ServePage.h"

namespace likeness_cli {

const char* const kServePage = R"PAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>likeness</title>
<meta name="viewport" content="width=device-width, initial-scale=1">
<style>
body{font-family:sans-serif;margin:1.5em;background:#fafafa;color:#222}
h1{font-size:1.4em}
#drop{border:2px dashed #888;border-radius:6px;padding:1.5em;max-width:40em;text-align:center;background:#fff}
#drop.over{border-color:#2a6ebb;background:#eef4fb}
#query{display:none;max-width:164px;max-height:164px;margin:.8em auto 0;
background:repeating-conic-gradient(#c8c8c8 0% 25%,#fff 0% 50%) 0 0/16px 16px}
#status{min-height:1.4em;margin:.8em 0}#status.error{color:#b00020}
.row{display:flex;flex-wrap:wrap;gap:12px;align-items:flex-start}
figure{margin:0;padding:6px;background:#fff;border:1px solid #ddd;border-radius:4px;width:164px}
figure.same{border:2px solid #1b7f3b}
figure img{max-width:164px;max-height:164px;display:block;margin:auto;
background:repeating-conic-gradient(#c8c8c8 0% 25%,#fff 0% 50%) 0 0/16px 16px}
figure.other{opacity:.6}
figcaption{font-size:.8em;margin-top:4px;overflow-wrap:break-word}
.rest{flex-basis:100%;margin:.2em 0;color:#555}
.hint{color:#555;font-size:.9em}
.distance{display:block;color:#555}
.mark{display:inline-block;margin-top:2px;padding:0 .4em;border-radius:3px;background:#1b7f3b;color:#fff}
button{font-size:1em;margin-top:.8em}
</style></head>
<body data-state="idle">
<h1>likeness</h1>
<div id="drop">
<p>Drop a picture here, or <label><input type="file" id="choose" accept="image/*"></label></p>
<p class="hint">You see the stored pictures that look most like it, nearest first. Nothing is added to the
collection until you press the button below.</p>
<img id="query" alt="the chosen picture">
<p id="rename" hidden><label>Store it as pictures/<input id="key" size="28"></label></p>
<button id="add" disabled>Add it to the collection</button>
</div>
<p id="status"></p>
<p id="summary"></p>
<div class="row" id="results"></div>
<script>
'use strict';
const $ = id => document.getElementById(id);
let chosen = null;

function setState(state, message, isError) {
  document.body.dataset.state = state;
  $('status').textContent = message || '';
  $('status').className = isError ? 'error' : '';
}

async function answer(response) {
  let body = {};
  try { body = await response.json(); } catch (e) { body = {message: 'HTTP ' + response.status}; }
  if (!response.ok) {
    const failure = new Error(body.message || body.error || 'HTTP ' + response.status);
    failure.code = body.error;
    throw failure;
  }
  return body;
}

// A key's text with a line-break opportunity after each "/", "_" and "-", so that a caption
// breaks between the parts of a name rather than inside them.
function breakable(key) {
  const nodes = [];
  for (const part of key.split(/(?<=[\/_-])/)) nodes.push(part, document.createElement('wbr'));
  return nodes;
}

// "cat-2.jpg" for "cat.jpg", "cat-3.jpg" for "cat-2.jpg": a name to offer when one is taken.
function nextName(name) {
  const dot = name.lastIndexOf('.');
  const stem = dot > 0 ? name.slice(0, dot) : name, extension = dot > 0 ? name.slice(dot) : '';
  const numbered = /^(.*)-([0-9]+)$/.exec(stem);
  return numbered ? numbered[1] + '-' + (Number(numbered[2]) + 1) + extension : stem + '-2' + extension;
}

function show(results, threshold) {
  const row = $('results');
  row.replaceChildren();
  // The results past the same-picture threshold are only the nearest of the rest: a line says so,
  // and they are shown faded.
  const sameCount = results.filter(result => result.same_picture).length;
  const rest = document.createElement('p');
  rest.className = 'rest';
  rest.textContent = sameCount === 0 ?
      'None of these is the same picture: they are the nearest stored pictures, and may look nothing like it.' :
      'The rest are not the same picture: only the nearest others, which may look nothing like it.';
  results.forEach((result, i) => {
    if (i === sameCount) row.append(rest);
    const figure = document.createElement('figure');
    figure.className = result.same_picture ? 'result same' : 'result other';
    figure.dataset.key = result.key;
    figure.dataset.distance = result.distance;
    const img = document.createElement('img');
    img.src = result.picture;
    img.alt = result.key;
    const caption = document.createElement('figcaption');
    caption.append((i + 1) + '. ', ...breakable(result.key));
    const distance = document.createElement('span');
    distance.className = 'distance';
    distance.textContent = 'distance ' + (result.distance === null ? '?' : result.distance.toFixed(3));
    caption.append(distance);
    if (result.same_picture) {
      const mark = document.createElement('span');
      mark.className = 'mark';
      mark.textContent = 'same picture';
      caption.append(mark);
    }
    figure.append(img, caption);
    row.append(figure);
  });
  $('summary').textContent = results.length === 0 ? 'The collection is empty.' :
      'Nearest first. 100 is the least possible distance; below ' + threshold.toFixed(1) +
      ' a result is almost surely the same picture.';
}

async function search() {
  setState('searching', 'Searching\u2026');
  try {
    const body = await answer(await fetch('/search?n=12', {method: 'POST', body: chosen,
        headers: {'Content-Type': chosen.type || 'application/octet-stream'}}));
    show(body.results, body.same_picture_below);
    setState('results', '');
  } catch (e) {
    setState('error', e.message, true);
  }
}

async function add() {
  $('add').disabled = true;
  setState('adding', 'Adding\u2026');
  try {
    const name = $('rename').hidden ? chosen.name : $('key').value;
    const key = name ? '?key=' + encodeURIComponent(name) : '';
    const body = await answer(await fetch('/pictures' + key, {method: 'POST', body: chosen,
        headers: {'Content-Type': chosen.type || 'application/octet-stream'}}));
    await search();
    $('status').textContent = body.result === 'added' ? 'Added as ' + body.key :
        body.result === 'same_file' ? 'Already in the collection as ' + body.key : body.message;
    $('rename').hidden = true;
  } catch (e) {
    $('add').disabled = false;
    if (e.code !== 'key_taken') return setState('error', e.message, true);
    // The name is taken by another picture: offer the next free-looking one, to edit and add again.
    const taken = $('rename').hidden ? chosen.name : $('key').value;
    $('key').value = nextName(taken);
    $('rename').hidden = false;
    setState('renaming', 'A different picture is stored as pictures/' + taken +
        ' already: choose another name below and add it again.', true);
  }
}

function choose(file) {
  if (!file) return;
  chosen = file;
  const query = $('query');
  if (query.src) URL.revokeObjectURL(query.src);
  query.src = URL.createObjectURL(file);
  query.style.display = 'block';
  $('rename').hidden = true;
  $('add').disabled = false;
  search();
}

$('choose').addEventListener('change', () => choose($('choose').files[0]));
$('add').addEventListener('click', add);
const drop = $('drop');
drop.addEventListener('dragover', e => { e.preventDefault(); drop.classList.add('over'); });
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', e => {
  e.preventDefault();
  drop.classList.remove('over');
  choose(e.dataTransfer.files[0]);
});
</script>
</body></html>
)PAGE";

}  // namespace likeness_cli
