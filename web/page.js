// page.js - the page of setuphdr in the browser. The tool's own core
// (core.js: WebAssembly with its loader, as the text setuphdrCoreText) runs
// in a worker made from that text and coreWorker below, so a large file
// never freezes the page. The page only gives the core its command lines
// and shows what the core wrote: the report, the list rows, the change
// lines, the error lines and the new file all come from the core.
"use strict";

// ---------------------------------------------------------------------------
// The worker. Its text runs in the worker behind the core's; it may use
// nothing of the page.

// The worker's code: it starts the core, stores the chosen files and runs
// command lines on them, one message at a time.
function coreWorker() {
  "use strict";
  let core = null;
  let chosen = [];  // {name, word, file, stored}: word is the command line's
  let queue = Promise.resolve();
  const encoder = new TextEncoder();
  const decoder = new TextDecoder();

  // Copies texts into the core's memory, each NUL-terminated, one behind the
  // other; returns the block (free it with core._free).
  function cTexts(texts) {
    const parts = texts.map((text) => encoder.encode(text));
    const size = parts.reduce((sum, part) => sum + part.length + 1, 0);
    const block = core._malloc(size);
    if (!block) throw new Error("not enough memory for the command line");
    let at = block;
    for (const part of parts) {
      core.HEAPU8.set(part, at);
      at += part.length;
      core.HEAPU8[at++] = 0;
    }
    return block;
  }

  // Calls use(pointer) with text in the core's memory.
  function withText(text, use) {
    const block = cTexts([text]);
    try {
      return use(block);
    } finally {
      core._free(block);
    }
  }

  // The NUL-terminated UTF-8 text at pointer.
  function readText(pointer) {
    const heap = core.HEAPU8;
    let end = pointer;
    while (heap[end] !== 0) ++end;
    return decoder.decode(heap.subarray(pointer, end));
  }

  // A copy of size bytes at pointer, for the page.
  function copyBytes(pointer, size) {
    return core.HEAPU8.slice(pointer, pointer + size);
  }

  // Tells the page what the worker does now, for its progress line.
  function phase(text) {
    self.postMessage({type: "phase", text});
  }

  // Puts a chosen file's bytes into the core's store, under its word.
  async function store(entry) {
    if (entry.stored) return;
    const mib = (entry.file.size / 1048576).toFixed(1);
    phase(`Reading ${entry.name} (${mib} MiB)`);
    const bytes = new Uint8Array(await entry.file.arrayBuffer());
    const block = bytes.length ? core._malloc(bytes.length) : 0;
    if (bytes.length && !block)
      throw new Error(`not enough memory to hold ${entry.name}`);
    core.HEAPU8.set(bytes, block);
    // The store takes the block over, and frees it when it cannot.
    if (!withText(entry.word, (word) => core._webPutFile(word, block,
                                                         bytes.length)))
      throw new Error(`not enough memory to hold ${entry.name}`);
    entry.stored = true;
  }

  // Runs the tool on args; returns the exit code, the command line it ran
  // and what each stream received.
  function run(args) {
    phase(`Running setuphdr ${args[0]}`);
    const words = cTexts(args);
    let exit;
    try {
      exit = core._webRun(words, args.length) >>> 0;
    } finally {
      core._free(words);
    }
    const stream = (which) =>
      copyBytes(core._webStreamData(which), core._webStreamSize(which) >>> 0);
    return {exit, command: readText(core._webCommandLine()),
            output: stream(0), error: stream(1), both: stream(2)};
  }

  // Answers one message: "start", "choose" (the files, each given its word)
  // or "run" (a command line on stored files; "change": hand out the file).
  async function handle(message) {
    if (message.type === "start") {
      core = await createSetuphdrCore();
      return {version: readText(core._webVersion()),
              archTable: readText(core._webArchTable())};
    }
    if (message.type === "choose") {
      // Each name gets its word once the files before it are stored, so two
      // files never share one.
      core._webDropAllFiles();
      chosen = [];
      for (const file of message.files) {
        const word = withText(file.name,
                              (name) => readText(core._webCommandWord(name)));
        const entry = {name: file.name, word, file, stored: false};
        chosen.push(entry);
        await store(entry);
      }
      return {words: chosen.map((entry) => entry.word)};
    }
    // "run": the files named must be in the store (a change drops its own).
    const entries = message.words.map(
        (word) => chosen.find((entry) => entry.word === word));
    for (const entry of entries) await store(entry);
    const result = run(message.args);
    if (message.change) {
      // The change wrote the store's copy: hand out the new bytes, then drop
      // them, so the next run starts from the user's file again.
      const entry = entries[0];
      withText(entry.word, (word) => {
        if (result.exit === 0)
          result.file = copyBytes(core._webFileData(word),
                                  core._webFileSize(word) >>> 0);
        core._webDropFile(word);
      });
      entry.stored = false;
    }
    return result;
  }

  self.onmessage = (event) => {
    const message = event.data;
    // One message at a time, in order.
    queue = queue.then(async () => {
      try {
        const reply = await handle(message);
        const transfer = ["output", "error", "both", "file"]
            .filter((key) => reply[key]).map((key) => reply[key].buffer);
        self.postMessage({id: message.id, reply}, transfer);
      } catch (error) {
        self.postMessage({id: message.id,
                          failure: String(error && error.message || error)});
      }
    });
  };
}

// ---------------------------------------------------------------------------
// The page.

const ui = {};
for (const id of ["files", "names", "status-text", "progress",
                  "list-section", "list", "list-errors", "file-section",
                  "file-title", "report", "retarget-form", "arch",
                  "arch-note", "device", "vermin", "vermax", "allplatforms",
                  "unsign", "retarget", "outcome", "command", "result",
                  "download-place", "version"])
  ui[id.replace(/-(.)/g, (_, c) => c.toUpperCase())] = document.getElementById(id);

const state = {
  worker: null,
  nextId: 1,
  pending: new Map(),
  archTable: [],   // {code, name, family}, in the core's table order
  entries: [],     // chosen files: {name, word}
  list: null,      // {header, rows}: the last l's rows
  sort: {column: -1, descending: false},
  shown: null,     // the file shown and the form's starting values
  busy: 0,
  busySince: 0,
  ticker: 0,
  phase: "",
  downloadUrl: null,
};

// Text from the core's bytes: each CR LF as a line feed. A line that is no
// valid UTF-8 (a name in a Windows code page) reads as windows-1252.
const utf8 = new TextDecoder("utf-8", {fatal: true});
const codePage = new TextDecoder("windows-1252");

// The text of one line's (or field's) bytes.
function decodeText(bytes) {
  try {
    return utf8.decode(bytes);
  } catch (error) {
    return codePage.decode(bytes);
  }
}

// The lines of bytes, split at each CR LF; the text after the last one, if
// any, is the last line.
function splitLines(bytes) {
  const lines = [];
  let start = 0;
  for (let i = 0; i + 1 < bytes.length; ++i) {
    if (bytes[i] === 13 && bytes[i + 1] === 10) {
      lines.push(bytes.subarray(start, i));
      start = i + 2;
      ++i;
    }
  }
  if (start < bytes.length) lines.push(bytes.subarray(start));
  return lines;
}

// The text of a stream's bytes, each CR LF a line feed.
function streamText(bytes) {
  const ended = bytes.length >= 2 && bytes[bytes.length - 2] === 13 &&
                bytes[bytes.length - 1] === 10;
  return splitLines(bytes).map(decodeText).join("\n") + (ended ? "\n" : "");
}

// l's output as a header and rows of fields, split at its tabs.
function parseRows(bytes) {
  const rows = splitLines(bytes).map((line) => {
    const fields = [];
    let start = 0;
    for (let i = 0; i <= line.length; ++i) {
      if (i === line.length || line[i] === 9) {
        fields.push(decodeText(line.subarray(start, i)));
        start = i + 1;
      }
    }
    return fields;
  });
  return {header: rows[0] || [], rows: rows.slice(1)};
}

// ---------------------------------------------------------------------------
// The worker, the busy state and the progress line

// Sends message to the worker; resolves with its reply, or rejects with the
// failure it reports.
function request(message) {
  return new Promise((resolve, reject) => {
    const id = state.nextId++;
    state.pending.set(id, {resolve, reject});
    state.worker.postMessage(Object.assign({id}, message));
  });
}

// A phase for the progress line, or the answer to a request.
function onWorkerMessage(event) {
  const message = event.data;
  if (message.type === "phase") {
    state.phase = message.text;
    return;
  }
  const waiting = state.pending.get(message.id);
  state.pending.delete(message.id);
  if (message.failure !== undefined) {
    waiting.reject(new Error(message.failure));
  } else {
    waiting.resolve(message.reply);
  }
}

// The worker failed outside a request (it could not start): every waiting
// request fails with it.
function onWorkerError(event) {
  event.preventDefault();
  const error = new Error(event.message || "the core stopped");
  for (const waiting of state.pending.values()) waiting.reject(error);
  state.pending.clear();
}

// The status line's text (empty for none).
function setStatus(text) {
  ui.statusText.textContent = text;
}

// The progress line: what the core does and for how long, once it has
// taken half a second.
function tick() {
  const elapsed = performance.now() - state.busySince;
  if (elapsed < 500) return;
  ui.progress.hidden = false;
  setStatus(`${state.phase || "Working"}\u2026 ${(elapsed / 1000).toFixed(1)} s`);
}

// Enables or disables the controls that start work.
function setControls(enabled) {
  ui.files.disabled = !enabled;
  ui.retarget.disabled = !enabled;
  for (const button of ui.list.querySelectorAll("button"))
    button.disabled = !enabled;
}

// Runs work (an async function) with the page busy; a second piece of work
// is not begun while one runs. Failures of the page itself (not the tool's
// error lines, which work shows) end in the status line.
async function busy(work) {
  if (state.busy !== 0) return;
  state.busy = 1;
  state.busySince = performance.now();
  state.phase = "";
  document.body.dataset.state = "busy";
  setControls(false);
  setStatus("");
  state.ticker = setInterval(tick, 100);
  let status = "";
  try {
    await work();
  } catch (error) {
    status = `The page failed: ${error.message}`;
  } finally {
    clearInterval(state.ticker);
    const seconds = (performance.now() - state.busySince) / 1000;
    ui.progress.hidden = true;
    setStatus(status || (seconds >= 0.5 ? `Done in ${seconds.toFixed(1)} s.`
                                        : ""));
    state.busy = 0;
    setControls(true);
    document.body.dataset.state = "idle";
  }
}

// Starts the worker and the core in it, and takes the architecture table
// for the processor drop-down; the page is idle (and usable when it worked)
// afterwards.
async function startCore() {
  try {
    if (typeof setuphdrCoreText !== "string")
      throw new Error("core.js is missing beside the page");
    // A worker from the text the page already holds: no file is fetched,
    // which also works from file://.
    const source = `${setuphdrCoreText}\n(${coreWorker.toString()})();\n`;
    const url = URL.createObjectURL(new Blob([source],
                                             {type: "text/javascript"}));
    state.worker = new Worker(url);
    URL.revokeObjectURL(url);
    state.worker.onmessage = onWorkerMessage;
    state.worker.onerror = onWorkerError;
    const started = await request({type: "start"});
    state.archTable = started.archTable.split("\n").filter(Boolean)
        .map((row) => {
          const [code, name, family] = row.split("\t");
          return {code, name, family};
        });
    ui.version.textContent = `setuphdr ${started.version}`;
    setStatus("");
  } catch (error) {
    setStatus(`The core could not start: ${error.message}`);
    ui.files.disabled = true;
    document.body.dataset.state = "idle";
    return;
  }
  document.body.dataset.state = "idle";
}

// ---------------------------------------------------------------------------
// Choosing files

// Removes the offered file, if any.
function clearDownload() {
  ui.downloadPlace.replaceChildren();
  if (state.downloadUrl) URL.revokeObjectURL(state.downloadUrl);
  state.downloadUrl = null;
}

// Hides the outcome of the last change.
function clearOutcome() {
  clearDownload();
  ui.outcome.hidden = true;
  ui.command.textContent = "";
  ui.result.textContent = "";
}

// Takes the files chosen or dropped into the core's store; shows the report
// of one file, or the table of several.
function choose(fileList) {
  const files = Array.from(fileList || []);
  if (files.length === 0) return;
  busy(async () => {
    clearOutcome();
    ui.listSection.hidden = true;
    ui.fileSection.hidden = true;
    state.shown = null;
    const chosen = await request({type: "choose", files});
    state.entries = files.map((file, i) => ({name: file.name,
                                             word: chosen.words[i]}));
    // Names the command line cannot carry go to the tool under others.
    const mapped = state.entries.filter((entry) => entry.word !== entry.name);
    ui.names.hidden = mapped.length === 0;
    ui.names.textContent = mapped.length === 0 ? "" :
        "Given to the tool under another name: " + mapped.map(
            (entry) => `${entry.word} is \u201c${entry.name}\u201d`)
            .join("; ") + ".";
    if (state.entries.length === 1) {
      await openFile(state.entries[0], null, null);
    } else {
      await listFiles();
    }
  });
}

// ---------------------------------------------------------------------------
// Several files: l's table

// Shows l's rows of every chosen file, and its error lines.
async function listFiles() {
  const words = state.entries.map((entry) => entry.word);
  const listed = await request({type: "run", args: ["l", ...words], words});
  state.list = parseRows(listed.output);
  state.sort = {column: -1, descending: false};
  renderList();
  const errors = streamText(listed.error);
  ui.listErrors.textContent = errors;
  ui.listErrors.hidden = errors === "";
  ui.listSection.hidden = false;
}

const collator = new Intl.Collator(undefined, {numeric: true});

// Builds the table from state.list: a heading row of buttons that sort,
// then one row per setup file, its path a button that opens its report.
function renderList() {
  const {header, rows} = state.list;
  const head = document.createElement("tr");
  header.forEach((name, column) => {
    const cell = document.createElement("th");
    cell.scope = "col";
    const button = document.createElement("button");
    button.type = "button";
    button.textContent = name;
    button.addEventListener("click", () => sortList(column));
    cell.append(button);
    if (state.sort.column === column)
      cell.setAttribute("aria-sort",
                        state.sort.descending ? "descending" : "ascending");
    head.append(cell);
  });
  ui.list.tHead.replaceChildren(head);

  const body = ui.list.tBodies[0];
  body.replaceChildren();
  for (const fields of rows) {
    const row = document.createElement("tr");
    fields.forEach((field, column) => {
      const cell = document.createElement("td");
      const entry = column === 0 &&
          state.entries.find((candidate) => candidate.word === field);
      if (entry) {
        // The path opens the file's report.
        const button = document.createElement("button");
        button.type = "button";
        button.textContent = field;
        button.addEventListener("click", () => busy(async () => {
          for (const other of body.rows) other.classList.remove("open");
          row.classList.add("open");
          await openFile(entry, header, fields);
          ui.fileTitle.scrollIntoView({block: "start"});
        }));
        cell.append(button);
      } else {
        cell.textContent = field;
      }
      row.append(cell);
    });
    body.append(row);
  }
}

// Sorts the rows by column, ascending, or descending when it is sorted
// ascending already; numbers compare as numbers.
function sortList(column) {
  const sort = state.sort;
  sort.descending = sort.column === column ? !sort.descending : false;
  sort.column = column;
  const sign = sort.descending ? -1 : 1;
  // A stable sort: rows that compare equal keep l's order.
  state.list.rows = state.list.rows
      .map((fields, index) => ({fields, index}))
      .sort((a, b) => sign * collator.compare(a.fields[column] || "",
                                              b.fields[column] || "") ||
                      a.index - b.index)
      .map((item) => item.fields);
  renderList();
}

// ---------------------------------------------------------------------------
// One file: d's report and the retarget form

// Shows the report of entry; header and row are its l row when known.
async function openFile(entry, header, row) {
  clearOutcome();
  ui.fileTitle.textContent = entry.word === entry.name ? entry.name :
      `${entry.name} (given to the tool as ${entry.word})`;
  const shown = await request({type: "run", args: ["d", entry.word],
                               words: [entry.word]});
  ui.report.textContent = streamText(shown.both);
  ui.fileSection.hidden = false;
  state.shown = null;
  ui.retargetForm.hidden = true;
  if (shown.exit !== 0) return;
  if (!row) {
    const listed = parseRows((await request({
      type: "run", args: ["l", entry.word], words: [entry.word]})).output);
    header = listed.header;
    row = listed.rows[0];
    if (!row) return;
  }
  fillForm(entry, header, row);
}

// The field of row under the heading name of l's header row.
function field(header, row, name) {
  const column = header.indexOf(name);
  return column >= 0 && column < row.length ? row[column] : "";
}

// Fills the retarget form from the shown file's l row: its processor (or
// its programs' family), its versions, switches off.
function fillForm(entry, header, row) {
  const arch = field(header, row, "arch");
  const cabinet = field(header, row, "signed") !== "";
  // The processor families of the cabinet's programs, from l's column.
  const programs = field(header, row, "programs").split(",").filter(Boolean);
  const familyOf = (code) =>
    (state.archTable.find((item) => item.code === code) || {}).family || "";
  const programFamilies = programs.filter(
      (name) => state.archTable.some((item) => item.family === name));

  // The table's codes grouped by family, the groups in the order the table
  // first names them; the programs' family is marked.
  ui.arch.replaceChildren();
  if (!state.archTable.some((item) => item.code === arch))
    ui.arch.append(new Option(`${arch} (not in the table)`, arch));
  const groups = new Map();
  for (const item of state.archTable) {
    const option = new Option(`${item.code} ${item.name}`, item.code);
    if (!item.family) {
      ui.arch.append(option);
      continue;
    }
    if (!groups.has(item.family)) {
      const group = document.createElement("optgroup");
      group.label = programFamilies.includes(item.family)
          ? `${item.family} \u2714 the cabinet's programs` : item.family;
      groups.set(item.family, group);
      ui.arch.append(group);
    }
    groups.get(item.family).append(option);
  }
  // The file's own processor when its programs run on it (or there are no
  // programs to go by); otherwise the first of the programs' family.
  let selected = arch;
  if (programFamilies.length !== 0 &&
      !programFamilies.includes(familyOf(arch))) {
    selected = state.archTable.find(
        (item) => item.family === programFamilies[0]).code;
  }
  ui.arch.value = selected;

  const versions = [field(header, row, "min version"),
                    field(header, row, "max version")];
  ui.device.value = "";
  ui.vermin.value = versions[0];
  ui.vermax.value = versions[1];
  ui.allplatforms.checked = false;
  ui.unsign.checked = false;
  ui.unsign.disabled = !cabinet;
  state.shown = {entry, cabinet, programs, programFamilies, arch,
                 vermin: versions[0], vermax: versions[1]};
  describeArch();
  ui.retargetForm.hidden = false;
}

// The note under the processor: what the programs need, and whether the
// choice leaves their family.
function describeArch() {
  const shown = state.shown;
  if (!shown) return;
  const family = (state.archTable.find((item) => item.code === ui.arch.value)
                  || {}).family || "";
  let note;
  if (!shown.cabinet) {
    note = "A setup file alone does not show its programs; its cabinet's " +
           "report names their processor family.";
  } else if (shown.programs.length === 0) {
    note = "The cabinet holds no programs.";
  } else {
    note = `The cabinet's programs: ${shown.programs.join(", ")}.`;
    if (shown.programFamilies.length !== 0 &&
        !shown.programFamilies.includes(family)) {
      note += family ? ` A ${family} processor cannot run them.`
                     : " Any processor: only programs of their family run.";
    }
  }
  ui.archNote.textContent = note;
}

// Fills the versions of the device family chosen, or the file's own.
function chooseDevice() {
  const option = ui.device.selectedOptions[0];
  const shown = state.shown;
  if (!option || !shown) return;
  ui.vermin.value = option.dataset.vermin || shown.vermin;
  ui.vermax.value = option.dataset.vermax || shown.vermax;
}

// Shows the command line run, broken across lines only between its words
// (never after the dash of an option).
function showCommand(text) {
  ui.command.replaceChildren();
  text.split(" ").forEach((word, index) => {
    const span = document.createElement("span");
    span.className = "word";
    span.textContent = word;
    if (index !== 0) ui.command.append(" ");
    ui.command.append(span);
  });
}

// Runs c on the shown file with what the form changes: a field left as the
// file has it is not given.
function retarget(event) {
  event.preventDefault();
  const shown = state.shown;
  if (!shown) return;
  const args = ["c"];
  if (ui.arch.value !== shown.arch) args.push("-arch", ui.arch.value);
  const vermin = ui.vermin.value.trim();
  const vermax = ui.vermax.value.trim();
  if (vermin !== "" && vermin !== shown.vermin) args.push("-vermin", vermin);
  if (vermax !== "" && vermax !== shown.vermax) args.push("-vermax", vermax);
  if (ui.allplatforms.checked) args.push("-allplatforms");
  if (ui.unsign.checked && !ui.unsign.disabled) args.push("-unsign");
  args.push(shown.entry.word);
  busy(async () => {
    clearOutcome();
    const changed = await request({type: "run", args,
                                   words: [shown.entry.word], change: true});
    showCommand(`setuphdr ${changed.command} \u2192 exit code ${changed.exit}`);
    ui.result.textContent = streamText(changed.both);
    ui.outcome.hidden = false;
    if (changed.exit === 0 && changed.file) {
      const url = URL.createObjectURL(new Blob(
          [changed.file], {type: "application/octet-stream"}));
      state.downloadUrl = url;
      const link = document.createElement("a");
      link.id = "download";
      link.href = url;
      link.download = shown.entry.name;
      link.textContent = `Download the retargeted ${shown.entry.name}`;
      ui.downloadPlace.append(link);
    }
  });
}

// ---------------------------------------------------------------------------
// Wiring

ui.files.addEventListener("change", () => choose(ui.files.files));
ui.arch.addEventListener("change", describeArch);
ui.device.addEventListener("change", chooseDevice);
ui.retargetForm.addEventListener("submit", retarget);

// Files dropped anywhere on the page.
document.addEventListener("dragover", (event) => {
  event.preventDefault();
  document.body.classList.add("dropping");
});
document.addEventListener("dragleave", (event) => {
  if (event.relatedTarget === null) document.body.classList.remove("dropping");
});
document.addEventListener("drop", (event) => {
  event.preventDefault();
  document.body.classList.remove("dropping");
  if (state.worker && event.dataTransfer) choose(event.dataTransfer.files);
});

startCore();
