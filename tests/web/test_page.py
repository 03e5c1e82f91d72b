#!/usr/bin/python3
"""test_page.py - the built web page in headless Chromium, against the
native setuphdr on the same files.

    /usr/bin/python3 tests/web/test_page.py --page PAGE_DIR --tool SETUPHDR
        --samples BUILD_DIR [--work DIR] [--screenshot PNG] [--large]

Loads PAGE_DIR/index.html from file:// in Debian's headless Chromium
(chromedriver, python3-selenium) and runs one table of cases. Each case
chooses files through the page's `files` input and drives it through its
ids; the native tool (SETUPHDR, run in a folder holding the same files under
the names the page gives the command line) is the reference:
  * one file: `report` is d's output, CR LF as LF, or its error line;
  * several: `list` is l's header row and rows, `list-errors` its error
    lines; a heading sorts, a path opens that file's report;
  * a retarget: `result` is c's output on a copy with the same options,
    `command` names them, and the file downloaded from `download` is that
    copy's bytes; a refused change offers no `download`.
Then: Chromium's log of requests holds only file:, data: and blob: URLs,
the console shows no Content-Security-Policy refusal, and the page's folder
is under 400 KiB and gzipped under 200 KiB. The screenshot (default
WORK/screenshot.png) shows the report of the sample cabinet, the form and
the outcome of its change.
--large adds d and c on a generated 64 MiB MSZIP cabinet and prints how long
each took in the page.

Prints one line per check and "N passed, N failed"; exits 1 when a check
failed, 2 when the browser could not be started.
"""

import argparse
import gzip
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench"))
import cabinet_cases  # noqa: E402  (build_cab, pe_file)
import large_cab  # noqa: E402

from selenium import webdriver  # noqa: E402
from selenium.common.exceptions import WebDriverException  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

PAGE_LIMIT = 400 * 1024
GZIP_LIMIT = 200 * 1024
WAIT_SECONDS = 120          # a loaded machine, or the 64 MiB cabinet
HPC_PRO = "Handheld PC Professional (H/PC Pro), CE 2.11"
WM2003SE = "Windows Mobile 2003 Second Edition, CE 4.21"


class Case:
    """One row of the table. files: [(name on disk, word)], the word being
    the name the page gives the command line. action: "show" (one file),
    "list" (several) or "retarget" (one file, then form: the controls to
    set, and args: the options c must get)."""

    def __init__(self, title, files, action, form=None, args=None,
                 arch=None, sort=None, open_row=None):
        self.title = title
        self.files = files
        self.action = action
        self.form = form or {}
        self.args = args or []
        self.arch = arch            # the processor the form pre-selects
        self.sort = sort            # (column, clicks) on the list
        self.open_row = open_row    # the list row whose path is clicked


def make_files(folder, samples):
    """The files the cases choose, built in code or copied from the build:
    name -> bytes."""
    with open(os.path.join(samples, "sample.000"), "rb") as data:
        setup = data.read()
    with open(os.path.join(samples, "sample.cab"), "rb") as data:
        cab = data.read()
    damaged = bytearray(cab)
    damaged[-1] ^= 0xFF              # the one block's checksum fails
    # A signed MSZIP cabinet with a MIPS program beside the setup file.
    signed = cabinet_cases.build_cab(
        [1], [(b"HELLO.000", setup, 0),
              (b"hello.exe", cabinet_cases.pe_file(machine=0x0166), 0)],
        signature=b"S" * 300)
    files = {
        "sample.000": setup,
        "sample.cab": cab,
        "damaged.cab": bytes(damaged),
        "signed.cab": signed,
        'a b".000': setup,           # a blank and a quote: quoted
        "-dash.000": setup,          # would read as an option
        "other/sample.000": cab,     # the name of another chosen file
        "bell\a.000": setup,         # a control byte, shown masked
    }
    for name, data in files.items():
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)
    return files


def cases():
    hpc_pro = ["-vermin", "2.11", "-vermax", "6.99.3758096384"]
    return [
        Case("report of the sample setup file",
             [("sample.000", "sample.000")], "show", arch="2577"),
        Case("report of the sample cabinet",
             [("sample.cab", "sample.cab")], "show", arch="2577"),
        Case("report of a damaged cabinet: the error line",
             [("damaged.cab", "damaged.cab")], "show"),
        Case("signed MIPS cabinet: the programs' family pre-selected",
             [("signed.cab", "signed.cab")], "show", arch="4000"),
        Case("list of the setup file and the cabinet, a row opened",
             [("sample.000", "sample.000"), ("sample.cab", "sample.cab")],
             "list", open_row=1),
        Case("list of names the command line cannot carry as they are, "
             "sorted by path, descending",
             [('a b".000', 'a b".000'), ("-dash.000", "./-dash.000"),
              ("sample.000", "sample.000"),
              ("other/sample.000", "file-1.000"), ("bell\a.000", "file-2.000"),
              ("damaged.cab", "damaged.cab")],
             "list", sort=("path", 2)),
        Case("retarget the sample cabinet: processor, device, both switches",
             [("sample.cab", "sample.cab")], "retarget",
             form={"arch": "2336", "device": HPC_PRO, "allplatforms": True,
                   "unsign": True},
             args=["-arch", "2336"] + hpc_pro + ["-allplatforms",
                                                 "-unsign"]),
        Case("retarget the sample setup file to another family: a device "
             "and a typed version",
             [("sample.000", "sample.000")], "retarget",
             form={"arch": "4000", "device": WM2003SE, "vermax": "5.2"},
             args=["-arch", "4000", "-vermin", "4.21", "-vermax", "5.2"]),
        Case("signed cabinet without -unsign: refused",
             [("signed.cab", "signed.cab")], "retarget",
             form={"arch": "2336"}, args=["-arch", "2336"]),
        Case("signed cabinet with -unsign and another family",
             [("signed.cab", "signed.cab")], "retarget",
             form={"arch": "2336", "unsign": True},
             args=["-arch", "2336", "-unsign"]),
        Case("a version the option reader refuses: the error line",
             [("sample.cab", "sample.cab")], "retarget",
             form={"vermin": "3.x"}, args=["-vermin", "3.x"]),
    ]


def native(tool, folder, args):
    """Runs the native tool once in folder: (exit code, stdout, stderr)."""
    out = subprocess.run([tool] + args, cwd=folder, capture_output=True)
    return out.returncode, out.stdout, out.stderr


def native_both(tool, folder, args):
    """Runs the native tool once in folder: (exit code, stdout and stderr
    together, in the order written)."""
    out = subprocess.run([tool] + args, cwd=folder, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT)
    return out.returncode, out.stdout


def text(data):
    """The page's text of the tool's bytes: CR LF as a line feed."""
    return data.replace(b"\r\n", b"\n").decode("utf-8")


def rows(data):
    """l's output as lists of fields."""
    return [line.decode("utf-8").split("\t")
            for line in data.split(b"\r\n") if line]


class Page:
    """The page in Chromium, driven through its ids."""

    def __init__(self, page_dir, work):
        self.downloads = os.path.join(work, "downloads")
        os.makedirs(self.downloads, exist_ok=True)
        self.profile = tempfile.mkdtemp(prefix="chromium-", dir=work)
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--window-size=1200,1100",
                     "--user-data-dir=" + self.profile):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs",
                               {"performance": "ALL", "browser": "ALL"})
        # A start that fails before the page is loaded is tried again.
        for attempt in range(3):
            try:
                self.driver = webdriver.Chrome(
                    service=Service("/usr/bin/chromedriver"), options=options)
                break
            except WebDriverException:
                if attempt == 2:
                    raise
                time.sleep(2)
        self.driver.execute_cdp_cmd("Browser.setDownloadBehavior", {
            "behavior": "allow", "downloadPath": self.downloads})
        self.driver.get("file://" + os.path.join(os.path.abspath(page_dir),
                                                 "index.html"))
        self.wait_idle()

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def element(self, id_):
        return self.driver.find_element(By.ID, id_)

    def wait_idle(self):
        deadline = time.monotonic() + WAIT_SECONDS
        while self.js("return document.body.dataset.state") != "idle":
            if time.monotonic() > deadline:
                raise AssertionError("the page stayed busy")
            time.sleep(0.05)

    def act(self, action):
        """Does action (a function) and waits until the work it started is
        done: the state goes from a mark through busy back to idle."""
        self.js("document.body.dataset.state = 'marked'")
        action()
        self.wait_idle()

    def choose(self, paths):
        self.js("arguments[0].value = ''", self.element("files"))
        started = time.monotonic()
        self.act(lambda: self.element("files").send_keys("\n".join(paths)))
        return time.monotonic() - started

    def content(self, id_):
        return self.js("return document.getElementById(arguments[0])"
                       ".textContent", id_)

    def visible(self, id_):
        return self.js("const e = document.getElementById(arguments[0]);"
                       "return !!e && e.offsetParent !== null", id_)

    def table(self):
        return self.js(
            "const t = document.getElementById('list');"
            "return [Array.from(t.tHead.rows[0].cells, c => c.textContent),"
            " Array.from(t.tBodies[0].rows,"
            "  r => Array.from(r.cells, c => c.textContent))]")

    def click_heading(self, column):
        button = self.driver.find_elements(
            By.CSS_SELECTOR, "#list th button")[column]
        button.click()  # sorting is the page's own: nothing to wait for

    def open_row(self, index):
        button = self.driver.find_elements(
            By.CSS_SELECTOR, "#list tbody tr td:first-child button")[index]
        self.act(button.click)

    def fill(self, form):
        if "arch" in form:
            Select(self.element("arch")).select_by_value(form["arch"])
        if "device" in form:
            Select(self.element("device")).select_by_visible_text(
                form["device"])
        for name in ("vermin", "vermax"):
            if name in form:
                field = self.element(name)
                field.clear()
                field.send_keys(form[name])
        for name in ("allplatforms", "unsign"):
            if form.get(name):
                self.element(name).click()

    def retarget(self):
        for name in os.listdir(self.downloads):
            os.remove(os.path.join(self.downloads, name))
        started = time.monotonic()
        self.act(self.element("retarget").click)
        return time.monotonic() - started

    def download(self, name):
        """Clicks `download` and returns the bytes of the file saved."""
        self.element("download").click()
        path = os.path.join(self.downloads, name)
        deadline = time.monotonic() + WAIT_SECONDS
        while not os.path.exists(path) or any(
                entry.endswith(".crdownload")
                for entry in os.listdir(self.downloads)):
            if time.monotonic() > deadline:
                raise AssertionError("no download %s (found %s)" % (
                    name, os.listdir(self.downloads)))
            time.sleep(0.1)
        with open(path, "rb") as data:
            return data.read()

    def save_screenshot(self, path):
        """The whole page, the window as tall as the page for a moment."""
        size = self.driver.get_window_size()
        height = self.js("window.scrollTo(0, 0);"
                         "return document.documentElement.scrollHeight +"
                         " window.outerHeight - window.innerHeight")
        self.driver.set_window_size(size["width"], height)
        self.driver.save_screenshot(path)
        self.driver.set_window_size(size["width"], size["height"])

    def requests(self):
        """Every URL requested, from Chromium's performance log, but those
        of the browser's own chrome:// pages (its start page)."""
        urls = []
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            params = message["params"]
            if message["method"] == "Network.requestWillBeSent":
                url = params["request"]["url"]
                if not (url.startswith("chrome://") and params.get(
                        "documentURL", "").startswith("chrome://")):
                    urls.append(url)
            elif message["method"] == "Network.webSocketCreated":
                urls.append(params["url"])
        return urls

    def console(self):
        return [entry["message"] for entry in self.driver.get_log("browser")]

    def quit(self):
        self.driver.quit()
        shutil.rmtree(self.profile, ignore_errors=True)


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, title, expected, got):
        if expected == got:
            self.passed += 1
            print("PASS  " + title)
            return True
        self.failed += 1
        print("FAIL  " + title)
        print("      expected: %r" % (expected,))
        print("      got:      %r" % (got,))
        return False


def run_case(page, case, tool, files_dir, native_dir, checks):
    title = case.title
    # The native tool sees the same files under the page's words.
    shutil.rmtree(native_dir, ignore_errors=True)
    os.makedirs(native_dir)
    for name, word in case.files:
        shutil.copyfile(os.path.join(files_dir, name),
                        os.path.join(native_dir, word))
    words = [word for _, word in case.files]
    page.choose([os.path.join(files_dir, name) for name, _ in case.files])

    if case.action == "list":
        code, out, err = native(tool, native_dir, ["l"] + words)
        expected = rows(out)
        header, body = expected[0], expected[1:]
        if case.sort:
            column = header.index(case.sort[0])
            for _ in range(case.sort[1]):
                page.click_heading(column)
            body = sorted(body, key=lambda row: row[column],
                          reverse=case.sort[1] % 2 == 0)
        checks.check(title + ": rows", [header, body], page.table())
        checks.check(title + ": every path opens its file", [True] * len(body),
                     page.js("return Array.from(document.querySelectorAll("
                             "'#list tbody tr'), row => !!row.cells[0]"
                             ".querySelector('button'))"))
        checks.check(title + ": error lines", text(err),
                     page.content("list-errors"))
        if case.open_row is not None:
            page.open_row(case.open_row)
            word = body[case.open_row][0]
            _, both = native_both(tool, native_dir, ["d", word])
            checks.check(title + ": the opened row's report", text(both),
                         page.content("report"))
        return

    word = words[0]
    code, both = native_both(tool, native_dir, ["d", word])
    checks.check(title + ": report", text(both), page.content("report"))
    checks.check(title + ": form offered", code == 0,
                 page.visible("retarget-form"))
    if case.arch is not None:
        checks.check(title + ": processor pre-selected", case.arch,
                     page.js("return document.getElementById('arch').value"))
    if case.action != "retarget":
        return

    page.fill(case.form)
    page.retarget()
    args = ["c"] + case.args + [word]
    code, both = native_both(tool, native_dir, args)
    checks.check(title + ": result", text(both), page.content("result"))
    checks.check(title + ": command", "setuphdr %s \u2192 exit code %d" % (
        " ".join(args), code), page.content("command"))
    if code != 0:
        checks.check(title + ": nothing offered", False,
                     page.visible("download"))
        return
    with open(os.path.join(native_dir, word), "rb") as data:
        expected = data.read()
    name = case.files[0][0]
    checks.check(title + ": downloaded file", expected,
                 page.download(os.path.basename(name)))


def large_case(page, tool, samples, work, checks):
    """d and c on a generated 64 MiB MSZIP cabinet; prints the times."""
    folder = os.path.join(work, "large")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    with open(os.path.join(samples, "sample.000"), "rb") as data:
        setup = data.read()
    path = os.path.join(folder, "large.cab")
    large_cab.write_cabinet(path, setup)
    seconds = page.choose([path])
    _, both = native_both(tool, folder, ["d", "large.cab"])
    checks.check("64 MiB cabinet: report (%.1f s)" % seconds, text(both),
                 page.content("report"))
    page.fill({"arch": "2336", "device": HPC_PRO})
    seconds = page.retarget()
    args = ["c", "-arch", "2336", "-vermin", "2.11", "-vermax",
            "6.99.3758096384", "large.cab"]
    _, both = native_both(tool, folder, args)
    checks.check("64 MiB cabinet: result of the change (%.1f s)" % seconds,
                 text(both), page.content("result"))
    with open(path, "rb") as data:
        expected = data.read()
    checks.check("64 MiB cabinet: downloaded file",
                 True, page.download("large.cab") == expected)


def page_sizes(page_dir):
    total = packed = 0
    for name in sorted(os.listdir(page_dir)):
        with open(os.path.join(page_dir, name), "rb") as data:
            content = data.read()
        total += len(content)
        packed += len(gzip.compress(content, 9))
    return total, packed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--page", required=True, help="the built page")
    parser.add_argument("--tool", required=True, help="native setuphdr")
    parser.add_argument("--samples", required=True,
                        help="folder with sample.000 and sample.cab")
    parser.add_argument("--work", help="scratch folder")
    parser.add_argument("--screenshot", help="where the screenshot goes")
    parser.add_argument("--large", action="store_true",
                        help="also a 64 MiB cabinet")
    options = parser.parse_args()
    tool = os.path.abspath(options.tool)
    work = os.path.abspath(options.work or tempfile.mkdtemp(
        prefix="setuphdr-web-"))
    os.makedirs(work, exist_ok=True)
    files_dir = os.path.join(work, "files")
    native_dir = os.path.join(work, "native")
    make_files(files_dir, options.samples)
    screenshot = options.screenshot or os.path.join(work, "screenshot.png")

    checks = Checks()
    total, packed = page_sizes(options.page)
    print("page: %d bytes, gzipped %d bytes" % (total, packed))
    checks.check("page folder under 400 KiB", True, total < PAGE_LIMIT)
    checks.check("page folder gzipped under 200 KiB", True,
                 packed < GZIP_LIMIT)

    try:
        page = Page(options.page, work)
    except Exception as error:  # noqa: BLE001 - any failure to start
        print("error: Chromium did not start: %s" % error, file=sys.stderr)
        return 2
    try:
        for case in cases():
            try:
                run_case(page, case, tool, files_dir, native_dir, checks)
            except AssertionError as error:
                checks.check(case.title, "done", str(error))
            if case.title.startswith("retarget the sample cabinet"):
                page.save_screenshot(screenshot)
                print("      screenshot: %s" % screenshot)
        if options.large:
            large_case(page, tool, options.samples, work, checks)
        urls = page.requests()
        checks.check("the page's own files were requested", True,
                     any(url.endswith("/core.js") for url in urls))
        checks.check("no request beyond file:, data: and blob:", [],
                     [url for url in urls if url.split(":", 1)[0]
                      not in ("file", "data", "blob")])
        checks.check("no Content-Security-Policy refusal", [],
                     [line for line in page.console()
                      if "Content Security Policy" in line])
    finally:
        page.quit()
    print("%d passed, %d failed" % (checks.passed, checks.failed))
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
