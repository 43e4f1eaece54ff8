#!/usr/bin/env python3
"""Runs the examples of Markdown documents that are marked runnable and
compares the output they quote with what they print.

  run-examples.py --prefix PREFIX --examples DIR --work DIR [--all-marked FILE]... FILE.md...

PREFIX is an installation of the library and its tools (cmake --install);
DIR (--examples) holds the built example programs (EchoClient). The tools
and examples come first on PATH.

A fenced block runs when a marker precedes it, an HTML comment that GitHub
does not show (blank lines and other comments may lie between the two):

  <!-- example: KIND OPTION... -->
  <!-- not run: WHY -->            (a block that cannot run says why)

KIND
  session  a terminal session: "$ " command lines (a line ending in "\\"
           goes on), each followed by what it prints (stdout and stderr, as
           a terminal shows them); a line "..." stands for any lines. The
           commands run one after another in one bash, in the document's
           work folder. A command ending in "&" runs in the background, its
           output not compared, and the next waits (at most 10 s) until the
           "free" port the command names listens or, naming none, until it
           has printed something (the ready= text, when the marker gives
           one). What the session leaves running is stopped at its end.
  sh       a script, run whole by bash (-e -u -o pipefail) in the work folder
  cpp, c   a whole program, built against PREFIX (pkg-config YonderNetC and -std=c++20, or
           YonderNetC-C and -std=c99) and run
  python   a script, run with python/ on PYTHONPATH and PREFIX's library
  output   the output the block before it (sh, cpp, c, python) prints
  file     a file the blocks after it use (file=NAME), not run

OPTION
  TEXT=ROLE  TEXT (a port number, a path) stands for ROLE's value in the
             commands, the arguments and the quoted output (never in a
             program's source). ROLE:
               echod, echod6   a ynet-echod started for the block (127.0.0.1, ::1)
               microsocks, microsocks-auth, danted
                               the proxies of scripts/proxies.sh (already started)
               microsocks:USER:PASSWORD
                               a microsocks with these credentials, started for the block
               tinyproxy:USER:PASSWORD
                               a tinyproxy (scripts/tinyproxy.conf) asking for
                               these Basic credentials, started for the block
               free            a port nothing listens on
               prefix          PREFIX
  file=NAME  the block is also written to NAME in the work folder
  args=WORDS the program's arguments (quote them: args="a b")
  status=N   the exit status expected (default 0)
  mask=REGEX text matching REGEX (^ and $ match at each line) is left out of
             the comparison (timestamps)
  ready=TEXT a background command that names no free port is ready once it
             has printed TEXT
  needs=root the block runs only as root (a loopback capture); elsewhere it
             is skipped, and counted as skipped

Every block of a document given with --all-marked must carry a marker.
Prints one line per example and a last line with the counts; exits 1 when
an example failed or a marker is wrong.
"""

import argparse
import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TIMEOUT = 120  # seconds a block may take
MASKED = "\u2026"


class Block:
    def __init__(self, path, line, marker, text):
        self.path, self.line, self.marker, self.text = path, line, marker, text

    def where(self):
        return f"{os.path.relpath(self.path)}:{self.line}"


def parse(path):
    """The fenced blocks of a document, each with its marker or None; and the marker errors."""
    blocks, errors = [], []
    lines = open(path, encoding="utf-8").read().split("\n")
    marker = None
    i = 0
    while i < len(lines):
        line = lines[i]
        fence = re.match(r"^\s*(```+|~~~+)", line)
        found = re.match(r"^<!-- (example: .*|not run: .*) -->$", line)
        if found:
            if marker is not None:
                errors.append(f"{path}:{marker[0]}: a marker without a block after it")
            marker = (i + 1, found.group(1))
        elif fence:
            end = i + 1
            while end < len(lines) and not lines[end].strip().startswith(fence.group(1)):
                end += 1
            if end == len(lines):
                errors.append(f"{path}:{i + 1}: a block that never ends")
                break
            indent = len(line) - len(line.lstrip())
            text = "\n".join(body[indent:] for body in lines[i + 1:end])
            blocks.append(Block(path, i + 1, marker[1] if marker else None, text))
            marker = None
            i = end
        elif line.strip() and not line.startswith("<!--") and marker is not None:
            errors.append(f"{path}:{marker[0]}: a marker without a block after it")
            marker = None
        i += 1
    return blocks, errors


def free_port():
    """A port nothing listens on, above the range of outgoing connections."""
    while True:
        with socket.socket() as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            port = 61000 + int.from_bytes(os.urandom(2), "little") % 4500
            try:
                probe.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue


def wait_connectable(port, process, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and process.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


class Roles:
    """The servers and values the options of one block name."""

    def __init__(self, args):
        self.args, self.processes, self.values = args, [], {}

    def start(self, text, role):
        if role in ("echod", "echod6"):
            command = [os.path.join(self.args.prefix, "bin", "ynet-echod"), "--quiet"]
            if role == "echod6":
                command += ["--listen", "::1"]
            process = subprocess.Popen(command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
            self.processes.append(process)
            first = process.stdout.readline()
            found = re.match(r"port (\d+)$", first.strip())
            if not found:
                raise RuntimeError(f"ynet-echod printed {first!r}, not its port")
            value = found.group(1)
        elif role in ("microsocks", "microsocks-auth", "danted"):
            name = {"microsocks": "YNET_MICROSOCKS_PORT", "microsocks-auth": "YNET_MICROSOCKS_AUTH_PORT",
                    "danted": "YNET_DANTE_PORT"}[role]
            if name not in os.environ:
                raise RuntimeError(f"{name} is not set: run this under scripts/proxies.sh")
            value = os.environ[name]
        elif role.startswith("microsocks:"):
            _, user, password = role.split(":", 2)
            port = free_port()
            process = subprocess.Popen(["microsocks", "-i", "127.0.0.1", "-p", str(port), "-u", user, "-P", password],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.processes.append(process)
            if not wait_connectable(port, process):
                raise RuntimeError(f"microsocks did not start on port {port}")
            value = str(port)
        elif role.startswith("tinyproxy:"):
            _, user, password = role.split(":", 2)
            port = free_port()
            config = os.path.join(self.args.work, f"tinyproxy-{port}.conf")
            with open(os.path.join(ROOT, "scripts", "tinyproxy.conf"), encoding="utf-8") as source, \
                    open(config, "w", encoding="utf-8") as out:
                out.write(source.read().replace("@PORT@", str(port)) + f"BasicAuth {user} {password}\n")
            process = subprocess.Popen(["tinyproxy", "-d", "-c", config], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
            self.processes.append(process)
            if not wait_connectable(port, process):
                raise RuntimeError(f"tinyproxy did not start on port {port}")
            value = str(port)
        elif role == "free":
            value = str(free_port())
        elif role == "prefix":
            value = self.args.prefix
        else:
            raise RuntimeError(f"unknown role {role}")
        self.values[text] = (value, role)

    def substitute(self, text):
        for literal, (value, _) in self.values.items():
            if literal.isdigit():
                text = re.sub(rf"(?<![0-9]){literal}(?![0-9])", value, text)
            else:
                text = text.replace(literal, value)
        return text

    def free_ports_in(self, command):
        return [value for value, role in self.values.values()
                if role == "free" and re.search(rf"(?<![0-9]){value}(?![0-9])", command)]

    def stop(self):
        for process in self.processes:
            process.terminate()
        for process in self.processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def matches(expected, actual):
    """Whether the lines match, "..." standing for any lines."""
    if not expected:
        return not actual
    if expected[0] == "...":
        return any(matches(expected[1:], actual[k:]) for k in range(len(actual) + 1))
    return bool(actual) and expected[0] == actual[0] and matches(expected[1:], actual[1:])


def lines_of(text, masks):
    for mask in masks:
        text = re.sub(mask, MASKED, text, flags=re.MULTILINE)
    result = [line.rstrip() for line in text.split("\n")]
    while result and not result[-1]:
        result.pop()
    return result


def compare(what, expected, actual, masks):
    want, got = lines_of(expected, masks), lines_of(actual, masks)
    if matches(want, got):
        return None
    return (f"{what}: the text quotes\n" + "".join(f"  | {line}\n" for line in want) + "but it printed\n" +
            "".join(f"  | {line}\n" for line in got))


# A background command is ready once each free port it names listens, or,
# naming none, once it has printed something.
SESSION_HELPERS = r"""
ynet_listening() { # port
    awk -v port=":$(printf '%04X' "$1")" 'FNR > 1 && $4 == "0A" && substr($2, length($2) - 4) == port {found = 1}
        END {exit !found}' /proc/net/tcp /proc/net/tcp6 2>/dev/null
}
ynet_ready() { # output file, text it prints when ready (or ""), free ports...
    local out=$1 text=$2 port ready
    shift 2
    for _ in $(seq 200); do
        ready=1
        if [ $# -eq 0 ]; then
            [ -s "$out" ] || ready=0
            [ -z "$text" ] || grep -F -- "$text" "$out" >/dev/null || ready=0
        else
            for port in "$@"; do ynet_listening "$port" || ready=0; done
        fi
        [ "$ready" = 1 ] && return 0
        sleep 0.05
    done
}
"""


def run_session(block, roles, work, env):
    text = block.text.split("\n")
    steps = []  # [command, expected lines]
    i = 0
    while i < len(text):
        if not text[i].startswith("$ "):
            if not steps:
                return f"{block.where()}: a session starts with a \"$ \" line"
            steps[-1][1].append(text[i])
            i += 1
            continue
        command = [text[i][2:]]
        while command[-1].endswith("\\") and i + 1 < len(text):
            i += 1
            command.append(text[i])
        steps.append(["\n".join(command), []])
        i += 1
    outputs = os.path.join(work, ".session")
    os.makedirs(outputs, exist_ok=True)
    script = [SESSION_HELPERS]
    for n, (command, _) in enumerate(steps):
        command = roles.substitute(command)
        out = os.path.join(outputs, str(n))
        script.append(f"{{ {command}\n}} >{shlex.quote(out)} 2>&1")
        if re.search(r"(?<!&)&\s*(#.*)?$", command):
            ports = " ".join(roles.free_ports_in(command))
            script.append(f"ynet_ready {shlex.quote(out)} {shlex.quote(block.ready)} {ports}")
    script.append("{ kill $(jobs -p); wait; } 2>/dev/null")
    own = run_bash("\n".join(script), work, env)
    problems = []
    for n, (command, expected) in enumerate(steps):
        if re.search(r"(?<!&)&\s*(#.*)?$", command):
            continue
        try:
            actual = open(os.path.join(outputs, str(n)), encoding="utf-8", errors="replace").read()
        except FileNotFoundError:
            return f"{block.where()}: $ {command.splitlines()[0]} did not run; the session printed:\n{own}"
        problem = compare(f"{block.where()}: $ {command.splitlines()[0]}", roles.substitute("\n".join(expected)),
                          actual, block.masks)
        if problem:
            problems.append(problem)
    return "\n".join(problems) or None


def run_bash(script, work, env):
    """Runs the script; returns what it printed itself."""
    process = subprocess.Popen(["bash", "-c", script], cwd=work, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        output = f"(still running after {TIMEOUT} s: stopped)"
    finally:
        # Everything the block started runs in its process group.
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        process.wait()
    return output


def run_program(block, roles, work, env, expected):
    """Builds (cpp, c) and runs a program or script; returns a failure or None."""
    kind = block.kind
    suffix = {"cpp": "cpp", "c": "c", "python": "py", "sh": "sh"}[kind]
    source = os.path.join(work, block.file or f"example-{block.line}.{suffix}")
    with open(source, "w", encoding="utf-8") as out:
        out.write(block.text + "\n")
    if kind in ("cpp", "c"):
        program = os.path.join(work, f"example-{block.line}")
        package, compiler = ("YonderNetC", ["g++", "-std=c++20"]) if kind == "cpp" else ("YonderNetC-C", ["gcc", "-std=c99"])
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", package], env=env, capture_output=True,
                               text=True, check=True).stdout.split()
        build = subprocess.run(compiler + ["-Wall", "-o", program, source] + flags +
                               ["-pthread", f"-Wl,-rpath,{roles.args.prefix}/lib"],
                               env=env, capture_output=True, text=True)
        if build.returncode != 0:
            return f"{block.where()}: does not build:\n{build.stdout}{build.stderr}"
        command = [program]
    elif kind == "python":
        command = [sys.executable, source]
    else:
        command = ["bash", "-euo", "pipefail", source]
    command += [roles.substitute(arg) for arg in block.args]
    try:
        result = subprocess.run(command, cwd=work, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, errors="replace", timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return f"{block.where()}: still running after {TIMEOUT} s"
    if result.returncode != block.status:
        return f"{block.where()}: exit status {result.returncode}, not {block.status}; it printed:\n{result.stdout}"
    if expected is not None:
        return compare(f"{block.where()}: its output", roles.substitute(expected.text), result.stdout, block.masks)
    return None


def configure(block):
    """Reads the marker's kind and options into the block; returns an error or None."""
    words = shlex.split(block.marker[len("example:"):])
    if not words:
        return "no kind"
    block.kind, block.file, block.args, block.status, block.masks, block.roles = words[0], None, [], 0, [], []
    block.needs_root, block.ready = False, ""
    if block.kind not in ("session", "sh", "cpp", "c", "python", "output", "file"):
        return f"unknown kind {block.kind}"
    for word in words[1:]:
        name, _, value = word.partition("=")
        if name == "file":
            block.file = value
        elif name == "args":
            block.args = shlex.split(value)
        elif name == "status":
            block.status = int(value)
        elif name == "mask":
            block.masks.append(value)
        elif name == "ready":
            block.ready = value
        elif word == "needs=root":
            block.needs_root = True
        elif value:
            block.roles.append((name, value))
        else:
            return f"cannot read option {word}"
    if block.kind == "file" and not block.file:
        return "a file block needs file=NAME"
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--all-marked", action="append", default=[])
    parser.add_argument("documents", nargs="+")
    args = parser.parse_args()
    args.prefix = os.path.abspath(args.prefix)

    env = dict(os.environ)
    env.pop("LD_LIBRARY_PATH", None)
    env["PATH"] = os.pathsep.join([os.path.join(args.prefix, "bin"), os.path.abspath(args.examples), env["PATH"]])
    env["PKG_CONFIG_PATH"] = os.path.join(args.prefix, "lib", "pkgconfig")
    env["PYTHONPATH"] = os.path.join(ROOT, "python")
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env["YNET_LIBRARY"] = os.path.join(args.prefix, "lib", "libYonderNetC.so")

    failures, ran, skipped, not_run, unmarked = [], 0, 0, 0, {}
    for document in args.documents:
        blocks, errors = parse(document)
        failures += errors
        work = os.path.join(os.path.abspath(args.work), os.path.basename(document))
        os.makedirs(work, exist_ok=True)
        for n, block in enumerate(blocks):
            if block.marker is None:
                unmarked.setdefault(document, []).append(block.line)
                continue
            if block.marker.startswith("not run:"):
                not_run += 1
                continue
            error = configure(block)
            if error:
                failures.append(f"{block.where()}: {error}")
                continue
            if block.file:
                with open(os.path.join(work, block.file), "w", encoding="utf-8") as out:
                    out.write(block.text + "\n")
            if block.kind in ("file", "output"):
                continue
            if block.needs_root and os.geteuid() != 0:
                skipped += 1
                print(f"{block.where()} {block.kind}: skipped, it needs root", flush=True)
                continue
            following = blocks[n + 1] if n + 1 < len(blocks) else None
            expected = following if following and (following.marker or "").split()[:2] == ["example:", "output"] \
                else None
            roles = Roles(args)
            try:
                for text, role in block.roles:
                    roles.start(text, role)
                if block.kind == "session":
                    failure = run_session(block, roles, work, env)
                else:
                    failure = run_program(block, roles, work, env, expected)
            except (RuntimeError, subprocess.CalledProcessError) as error:
                failure = f"{block.where()}: {error}"
            finally:
                roles.stop()
            ran += 1
            print(f"{block.where()} {block.kind}: {'FAILED' if failure else 'ok'}", flush=True)
            if failure:
                failures.append(failure)
    for document in args.all_marked:
        for line in unmarked.get(document, []):
            failures.append(f"{document}:{line}: a block without a marker (example: ... or not run: ...)")
    for failure in failures:
        print(failure, file=sys.stderr)
    left = ", ".join(f"{os.path.relpath(d)} {len(lines)}" for d, lines in unmarked.items()) or "none"
    print(f"{ran} examples run, {len(failures)} failure(s), {skipped} skipped (not root), {not_run} blocks marked "
          f"not run, unmarked blocks: {left}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
