// web_core.js - times the web page's core (the page's own core.js, its
// WebAssembly run by Node) on files; web_bench.py drives it and sets the
// figures beside the native tool's.
//
//   node bench/web_core.js CORE_JS JOBS_JSON
//
// JOBS_JSON is a list of {"file", "args", "runs"}: the file is stored under
// its base name, args (the command line, that name last) is run runs times
// after one untimed run. A timed run is what the page's worker does once it
// holds the file's bytes: copy them into the core's memory and run the
// command (a change replaces the stored copy, so each run starts from the
// original). Prints, as JSON, the instantiation time and for each job the
// median seconds of its runs, its exit code and its first output line.
"use strict";

const fs = require("fs");
const path = require("path");

const [corePath, jobsJson] = process.argv.slice(2);
const coreFile = path.resolve(corePath);
const text = require(coreFile);
// The same text the page's worker runs, with Node's module names given.
const createCore = new Function("require", "module", "exports", "__dirname",
                                "__filename",
                                `${text}\nreturn createSetuphdrCore;`)(
    require, {exports: {}}, {}, path.dirname(coreFile), coreFile);

const encoder = new TextEncoder();
const decoder = new TextDecoder();

function median(values) {
  const sorted = values.slice().sort((a, b) => a - b);
  const middle = sorted.length >> 1;
  return sorted.length % 2 ? sorted[middle]
                           : (sorted[middle - 1] + sorted[middle]) / 2;
}

async function main() {
  const started = process.hrtime.bigint();
  const core = await createCore();
  const instantiation = Number(process.hrtime.bigint() - started) / 1e9;

  // texts NUL-terminated, one behind the other, in the core's memory.
  function cTexts(texts) {
    const parts = texts.map((part) => encoder.encode(part));
    const block = core._malloc(parts.reduce((n, p) => n + p.length + 1, 0));
    let at = block;
    for (const part of parts) {
      core.HEAPU8.set(part, at);
      at += part.length;
      core.HEAPU8[at++] = 0;
    }
    return block;
  }

  function put(name, bytes) {
    const block = core._malloc(bytes.length);
    core.HEAPU8.set(bytes, block);
    const word = cTexts([name]);
    core._webPutFile(word, block, bytes.length);
    core._free(word);
  }

  function run(args) {
    const words = cTexts(args);
    const exit = core._webRun(words, args.length) >>> 0;
    core._free(words);
    const both = core.HEAPU8.subarray(core._webStreamData(2),
                                      core._webStreamData(2) +
                                      core._webStreamSize(2));
    return {exit, first: decoder.decode(both).split("\r\n")
                                             .find((line) => line) || ""};
  }

  const results = [];
  for (const job of JSON.parse(jobsJson)) {
    const bytes = fs.readFileSync(job.file);
    const name = path.basename(job.file);
    const times = [];
    let outcome;
    for (let round = 0; round <= job.runs; ++round) {
      const begin = process.hrtime.bigint();
      put(name, bytes);
      outcome = run(job.args);
      const seconds = Number(process.hrtime.bigint() - begin) / 1e9;
      if (round > 0) times.push(seconds);
    }
    results.push({median: median(times), exit: outcome.exit,
                  first: outcome.first});
  }
  process.stdout.write(JSON.stringify({instantiation, results}));
}

main().catch((error) => {
  process.stderr.write(`${error.stack || error}\n`);
  process.exit(1);
});
