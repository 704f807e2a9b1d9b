"""End to end: trees catalogued by the executable in AUCATALOG; with
AUCATALOG_WINE, aucatalog.exe under that Wine, Z: paths, backslashes, CR LF."""
import contextlib
import ctypes
import dataclasses
import fcntl
import functools
import os
import pathlib
import pty
import re
import resource
import shutil
import signal
import socket
import subprocess
import tempfile

import pytest
from recordings import recording

EXE = os.environ["AUCATALOG"]
WINE = os.environ.get("AUCATALOG_WINE")
SEP = "\\" if WINE else "/"
HEADER_ROW = ("AUFile path,date,time,duration,alpha tag,type,tsys num,tsys type,tsys tag,"
              "site tag,tgid 1,tgid 2,rid 1,rid 2,freq 1,freq 2,sq mode,sq value,info,other\n")
TAIL = ',2017-01-05,07:03:09,0:01,"FIRE DISP",CONV,-1,,,,0,0,0,0,154.430000,0.000000,,,"",""'
REC = recording()
native_only = pytest.mark.skipif(bool(WINE), reason="POSIX only")


# What a tree holds besides files (bytes): each makes its entry at a path.
def DIR(path): os.makedirs(path, exist_ok=True)
def FIFO(path): os.mkfifo(path)
def SOCKET(path): socket.socket(socket.AF_UNIX).bind(path)
def DEVICE(path): os.mknod(path, 0o20666, os.makedev(1, 3))  # a character device
def link(target): return lambda path: os.symlink(target, path)
def sparse(data, size): return lambda path: (pathlib.Path(path).write_bytes(data), os.truncate(path, size))


def make_tree(root, tree):
    for rel, what in {"": DIR, **tree}.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        what(path) if callable(what) else pathlib.Path(path).write_bytes(what)


def run(args, cwd=None, stdout=subprocess.PIPE, exe=EXE, prefix=(), wine_log=None, **kw):
    """Runs the tool; with wine_log, Wine's debug lines go to that file."""
    p = subprocess.run(([WINE] if WINE else []) + [exe, *prefix] + args, cwd=cwd, stdout=stdout,
                       stderr=subprocess.PIPE, **kw)
    out, err = p.stdout or b"", p.stderr
    if wine_log:
        debug = re.compile(rb"(?m)^[0-9a-f]{4}:(trace|fixme|warn|err):.*\n")
        pathlib.Path(wine_log).write_bytes(b"".join(m.group(0) for m in debug.finditer(err)))
        err = debug.sub(b"", err)
    if WINE:
        err = re.sub(rb"(?m)^wineserver: .*\n", b"", err)  # Wine's own, on the same stream
        assert b"\n" not in (out + err).replace(b"\r\n", b""), "a line not ended by CR LF"
        out, err = out.replace(b"\r\n", b"\n"), err.replace(b"\r\n", b"\n")
    decode = (lambda b: b.decode("cp1252", "surrogateescape")) if WINE else os.fsdecode
    return decode(out), decode(err), p.returncode


def catalogue(rows):
    return HEADER_ROW + "".join(row + "\n" for row in rows)


def expect(result, rows, dots):
    out, err, status = result
    assert out == catalogue(rows)
    assert re.fullmatch(r"\.{%d}\n%d total files processed in (less than a second|1 second|"
                        r"\d+ seconds \(\d+ per second\))\n" % (dots, len(rows)), err), err
    assert status == 0, err


@functools.lru_cache(maxsize=None)
def listing(directory):
    """Names in the order the tool meets them: Wine lists them sorted."""
    return sorted(os.listdir(directory)) if WINE else os.listdir(directory)


def in_listing_order(root, rels):
    def key(rel):
        parts = rel.split("/")
        return [listing(os.path.join(root, *parts[:i])).index(p) for i, p in enumerate(parts)]
    return sorted(rels, key=key)


def drop_page_cache():
    try:
        os.sync()
        pathlib.Path("/proc/sys/vm/drop_caches").write_text("3\n")
    except OSError:
        pytest.skip("only root may drop the page cache")


@pytest.fixture
def tmp():
    d = tempfile.mkdtemp(prefix="aucatalog-test-")
    yield d
    subprocess.run(["rm", "-rf", d])  # rm walks trees deeper than PATH_MAX


@pytest.fixture(scope="session", autouse=True)
def wine_services():
    """Wine's own programs (services, explorer, device drivers) start with the
    first program a new wineserver runs and inherit its standard streams: a
    run would wait for them to end before its pipes closed, and read what
    they write, their crashes included. Here they start with no streams,
    under a server that outlives each run by half a minute."""
    if WINE:
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([os.path.join(os.path.dirname(WINE), "wineserver"), "-p30"], **quiet)
        subprocess.run([WINE, "cmd", "/c", "exit"], **quiet)


@dataclasses.dataclass
class Case:
    name: str
    tree: dict
    rows: list = None  # relative paths of the rows (with TAIL); by default the files of REC
    dots: int = 0
    args: list = ("{root}",)
    cwd: str = None
    prefix: str = "{root}"  # the root as the rows print it
    err: str = None  # the message of a failed run
    where: str = "both"
    processors: int = 0  # the tool may run on (0: all)
    cold: bool = False  # the page cache dropped first (root only)
    nofile: int = 0  # the tool's limit of open files (0: as inherited)
    no_stdin: bool = False  # started with standard input closed, as daemons may start it
    tail: str = TAIL  # of every row


ONE = {"a/r.au": REC}
# Thousands of files on three levels, a seventh of them too short. On one
# processor the walk reads what it lists at once, on more it shares the
# reads, and on a cold cache spare readers start: rows keep the listing order.
BIG = {("d%d/e%d/" % (i % 4, i % 5) if i % 3 else "d%d/" % (i % 4)) + "r%04d.au" % i:
       REC if i % 7 else REC[:300] for i in range(4000)}
LOW = os.fsdecode(bytes(c for c in range(1, 0x80) if c != ord("/")))
HIGH = os.fsdecode(bytes(range(0x80, 0x100)))

CASES = [
    Case("empty root", {}),
    Case("a dot per subdirectory", {"a/b/c": DIR, "d": DIR}, dots=4),
    Case("names ending in .au", {
        "A.AU": REC, "b.au": REC, "c.Au": REC, ".au": REC, "d.aux": REC, "eau": REC,
        "f.au.bak": REC, "g.au/inner.au": REC, "plain.au": recording(data_offset=24),
        "short.au": REC[:319], "empty.au": b""}, ["A.AU", "b.au", "c.Au", ".au", "g.au/inner.au"], 1),
    Case("root with separator", ONE, None, 1, ["{root}/"]),
    Case("root with two", ONE, None, 1, ["{root}//"], prefix="{root}/", where="native"),
    Case("root .", ONE, None, 1, ["."], "{root}", "."),
    Case("current directory", ONE, None, 1, [], "{root}"),
    Case("relative root, further arguments ignored", ONE, None, 1, ["rec", "x", "--help"], "{tmp}",
         "rec"),
    *(Case("thousands in flight" + ", one processor" * (p == 1) + ", 16 descriptors" * (n > 0) +
           ", cold" * cold, BIG, None, 24, where="native" if n else "both", processors=p, nofile=n,
           cold=cold) for p, n in ((0, 0), (1, 0), (0, 16)) for cold in (False, True)),
    Case("too few descriptors to walk", ONE, where="native", nofile=4,
         err="\n0 total files processed in less than a second\n"
             "aucatalog: {root}/a: Too many open files\n"),
    # Descriptor 0 is then the first the tool opens: a valid one.
    Case("standard input closed", {"link.au": link("a/r.au"), "a/r.au": REC, "b/c/x.au": REC},
         ["link.au", "a/r.au", "b/c/x.au"], 3, where="native", no_stdin=True),
    Case("comma quotes the path", {"a,b/x.au": REC, "c d.au": REC}, None, 1),
    # Under Wine a bare newline fails the run: every one goes out as CR LF.
    Case("newline inside a text", {"x.au": recording(alpha_tag=b"A\nB")}, ["x.au"],
         tail=TAIL.replace("FIRE DISP", "A\nB")),
    Case("links followed, never in circles", {
        "a/x.au": REC, "b/y.au": REC, "b/deep/top": link("../.."), "a/up": link(".."),
        "a/self": link("."), "b/out": link("../../out"), "../out/z.au": REC,
        "file_link.au": link("a/x.au")}, ["a/x.au", "b/y.au", "b/out/z.au", "file_link.au"], 7),
    Case("special files never opened", {
        "real.au": REC, "pipe.au": FIFO, "sock.au": SOCKET, "null.au": DEVICE,
        "zero.au": link("/dev/zero"), "dangling.au": link("nowhere"), "self.au": link("self.au"),
        "long": link("x" * 300 + "/y"),
        "gone": link("missing_dir"), 'say "hi".au': REC}, where="native"),
    Case("every byte in names", {LOW + ".au": REC, HIGH + ".au": REC}, where="native"),
    Case("names outside the code page", {
        "plain.au": REC, "w1/жук.au": REC, "w2/日本.au": REC, "w3/emoji😀.au": REC, "w4/café.au": REC,
        "w5/Ādam.au": REC, "Пожар/x.au": REC, "trail./r.au": REC, "．/r.au": REC, "．．/r.au": REC},
        None, 9),
    Case("device path root", {"trail./r.au": REC, "a/x.au": REC}, None, 2, ["\\\\.\\{root}"],
         prefix="\\\\.\\{root}", where="wine"),
    Case("root outside the code page", {"Пожар/a/r.au": REC}, None, 1, ["rec/Пожар"], "{tmp}",
         "rec"),
    Case("paths over 260 and 1,000 characters", {
        "a/" + "x" * 29 + "/x" * 9 + "/r.au": REC, "b/" + "/".join(["y" * 29] * 35) + "/r.au": REC},
        None, 47),
    Case("missing root", {}, args=["{root}/missing"],
         err="aucatalog: {root}/missing: No such file or directory\n"),
    Case("root is a file", {"f.au": REC}, args=["{root}/f.au"],
         err="aucatalog: {root}/f.au: Not a directory\n"),
    Case("empty root argument", {}, args=[""], err="aucatalog: : No such file or directory\n"),
]


def ansi(text):
    """Under Wine, text in code page 1252: a best fit or "?" a UTF-16 unit."""
    def one(c):
        try:
            return c.encode("cp1252") and c
        except UnicodeEncodeError:
            return {"Ā": "A", "．": "."}.get(c, "?" * (len(c.encode("utf-16-le")) // 2))
    return "".join(map(one, text)) if WINE else text


def shown(path):
    """A path as the tool is given it and prints it."""
    return ("Z:" if WINE and path.startswith("/") else "") + path.replace("/", SEP)


def limits(processors=0, nofile=0, no_stdin=False):
    def apply():
        if no_stdin:
            os.close(0)
        if processors:
            os.sched_setaffinity(0, range(processors))
        if nofile:
            resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
    return apply


@pytest.mark.parametrize("case", [c for c in CASES if c.where in ("both", "wine" if WINE else "native")],
                         ids=lambda c: c.name)
def test_tree(case, tmp):
    root = tmp + "/rec"
    make_tree(root, case.tree)

    def given(text):
        return text.replace("{root}", shown(root)).replace("{tmp}", shown(tmp)).replace("/", SEP)
    if case.cold:
        drop_page_cache()
    cwd = case.cwd and case.cwd.replace("{root}", root).replace("{tmp}", tmp)
    result = run([given(a) for a in case.args], cwd=cwd,
                 preexec_fn=limits(case.processors, case.nofile, case.no_stdin))
    rels = case.rows or [rel for rel, data in case.tree.items() if data is REC and not case.err]
    paths = [ansi(given(case.prefix + "/" + rel)) for rel in in_listing_order(root, rels)]
    rows = ['"%s"' % p.replace('"', '""') if re.search('[,"\r\n]', p) else p for p in paths]
    if case.err:
        assert result == (HEADER_ROW, given(case.err), 1)
        return
    expect(result, [row + case.tail for row in rows], case.dots)


@pytest.fixture(scope="module")
def deep_tree():
    """3,000 levels, with a link and sixteen recordings every fifty, and the
    rows in walk order (those listed after the link follow all deeper rows)."""
    tmp = tempfile.mkdtemp(prefix="aucatalog-test-")
    root, rel, levels = tmp + "/rec", "", []
    os.mkdir(root)
    fd = os.open(root, os.O_RDONLY)
    for level in range(3000):
        if level % 50 == 49:
            for name in "abcdefghijklmnop":
                with open(os.open(name + ".au", os.O_WRONLY | os.O_CREAT, dir_fd=fd), "wb") as f:
                    f.write(REC)
            os.mkdir(tmp + "/outside%d" % level)
            os.symlink(tmp + "/outside%d" % level, "sub", dir_fd=fd)
            levels.append((rel, os.listdir(fd)))
        else:
            os.mkdir("sub", dir_fd=fd)
        fd, parent = os.open("sub", os.O_RDONLY, dir_fd=fd), fd
        os.close(parent)
        rel += "sub/"
    os.close(fd)
    rows = []
    for rel, names in reversed(levels):
        at = names.index("sub")
        rows = ([root + "/" + rel + n + TAIL for n in names[:at]] + rows +
                [root + "/" + rel + n + TAIL for n in names[at + 1:]])
    yield root, rows
    subprocess.run(["rm", "-rf", tmp])


@native_only
@pytest.mark.parametrize("cold", [False, True])
@pytest.mark.parametrize("nofile", [256, 16])
def test_tree_deeper_than_path_max(deep_tree, nofile, cold):
    """Listings beyond the budget are given up once their files are read and
    taken up again: through "..", and from an ancestor below the links."""
    if cold:
        drop_page_cache()
    expect(run([deep_tree[0]], preexec_fn=limits(nofile=nofile)), deep_tree[1], 3000)


def traced(args, log, *expressions, **kw):
    """Under strace, the calls the expressions name written to log."""
    options = ["-f", "-qq", "-o", log] + [arg for e in expressions for arg in ("-e", e)]
    return run(args, exe="strace", prefix=options + [EXE],
               env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"), **kw)  # no leak check under ptrace


def strace_works():
    return shutil.which("strace") and subprocess.run(
        ["strace", "-o", "/dev/null", "true"], stderr=subprocess.DEVNULL).returncode == 0


def advised_recordings(log):
    """Recordings opened with the hint to read the header alone: POSIX advice,
    or FILE_RANDOM_ACCESS (0x800) among NtCreateFile's options."""
    text = pathlib.Path(log).read_text(errors="replace")
    if WINE:
        return len(re.findall(r'NtCreateFile .*name=L"[^"]*\.au" .*options=[0-9a-f]*[89a-f][0-9a-f]{2} ',
                              text))
    return text.count("POSIX_FADV_RANDOM) = 0")


@contextlib.contextmanager
def share(tmp, tree, *options):
    """tree served by slowfs at tmp/mnt; yields it and rows(rels) through it."""
    if not os.environ.get("AUCATALOG_SLOWFS") or not os.access("/dev/fuse", os.W_OK):
        pytest.skip("needs slowfs (FUSE 3) and /dev/fuse")
    make_tree(tmp + "/src", tree)
    mnt = tmp + "/mnt"
    os.mkdir(mnt)
    # In the background once mounted: it returns then, and fails when it cannot mount.
    subprocess.run([os.environ["AUCATALOG_SLOWFS"], *options, tmp + "/src", mnt], check=True)
    try:
        yield mnt, lambda rels: [shown(mnt + "/" + rel) + TAIL
                                 for rel in in_listing_order(tmp + "/src", rels)]
    finally:
        subprocess.run(["fusermount3", "-u", mnt], check=True)


def test_slow_share_without_entry_types(tmp):
    """1 ms a request, and no entry types in listings: every entry is looked
    at, readers sleep between directories and are called up again, and once
    reads wait, recordings are opened with the hint to read the header alone."""
    if not WINE and not strace_works():
        pytest.skip("needs strace and ptrace")
    tree = {"d%d/%s.au" % (i % 8, i): REC for i in range(160)}
    tree.update({"d1/y.au/z.au": REC, "d2/notes.txt": b"", "d3/e/f/g.AU": REC})
    with share(tmp, tree, "--delay-us=1000", "--no-types") as (mnt, rows_of):
        rows = rows_of([rel for rel, data in tree.items() if data is REC])
        log = tmp + "/trace"
        if WINE:
            result = run([shown(mnt)], wine_log=log, env=dict(os.environ, WINEDEBUG="trace+file"))
        else:
            result = traced([mnt], log, "trace=fadvise64")
        expect(result, rows, 11)
        assert advised_recordings(log) >= len(rows) // 2
        if not WINE:  # the entries looked at through a listing opened as descriptor 0
            expect(run([mnt], preexec_fn=limits(no_stdin=True)), rows, 11)


FAILED_PLACE = re.compile(r"(?m)^aucatalog: (.*): (.+)$")
# Ten directories of eight recordings, and one level below each.
SHARED = {"d%d/%sr%d.au" % (i % 10, "e/" * (i % 20 >= 10), i): REC for i in range(160)}


def test_failing_share(tmp):
    """Bad sectors under two directories and seven files, and a file whose
    every read is answered EINTR: the rest catalogued, the ten places named
    with no word of more, status 1. Wine lists a failing directory as empty,
    and tries such a read for ever itself."""
    bad = ["d1", "d2/e", "d3/r3.au", "d4/e/r14.au", "d5/r25.au", "d6/r6.au", "d7/e/r17.au",
           "d8/r28.au", "d9/r9.au", "d0/e/r10.au"]
    named = bad[2:] if WINE else bad
    # EINTR for one file, EIO for the rest.
    errors = ["--fail=%s:%d" % (p, 4 if p == "d9/r9.au" and not WINE else 5) for p in bad]
    with share(tmp, SHARED, "--delay-us=100", *errors) as (mnt, rows_of):
        out, err, status = run([shown(mnt)])
        rows = rows_of([r for r in SHARED if not any(r.startswith(p) for p in bad)])
        assert out == catalogue(rows) and status == 1, err
        assert sorted(m.group(1) for m in FAILED_PLACE.finditer(err)) == sorted(
            shown(mnt + "/" + p) for p in named)
        assert WINE or {m.group(2) for m in FAILED_PLACE.finditer(err)} == {
            "Input/output error", "Interrupted system call"}
        assert re.fullmatch(r"[.\n]*(aucatalog: .*\n[.\n]*){%d}\n\d+ total files processed in .*\n"
                            % len(named), err)


def test_share_gone(tmp):
    """A share gone part-way: rows a subsequence of the catalogue, ten places
    named, one a line, then how many more, and status 1."""
    with share(tmp, SHARED, "--delay-us=100", "--fail-after=150") as (mnt, rows_of):
        out, err, status = run([shown(mnt)])
    full = iter(rows_of(list(SHARED)))
    assert all(row in full for row in out.splitlines()[1:]) and status == 1, err
    assert len(FAILED_PLACE.findall(err)) == 10 and re.search(
        r"\naucatalog: \d+ more places could not be read\n$", err), err
    assert "\n\n" not in re.split(r"\n\d+ total files", err)[0], err  # failures one a line


@native_only  # Wine takes a directory with its parent's inode number for a mount point
def test_share_without_ids(tmp):
    """Every directory's id 0, as some file systems give: subdirectories are
    walked all the same, and links to directories, which might lead back, not."""
    tree = {"r.au": REC, "a/r.au": REC, "a/b/r.au": REC, "c/r.au": REC, "a/up": link(".."),
            "l": link("c")}
    with share(tmp, tree, "--delay-us=0", "--no-ids") as (mnt, rows_of):
        expect(run([mnt]), rows_of([rel for rel, data in tree.items() if data is REC]), 5)


@native_only
def test_links_into_a_share_gone(tmp):
    """Links whose targets a share gone cannot look up are named, status 1,
    as the file and directory they lead to would be without them."""
    with share(tmp, {"a.au": REC, "d/b.au": REC}, "--fail-after=0") as (mnt, _):
        root = tmp + "/rec"
        make_tree(root, {"x.au": REC, "gone.au": link(mnt + "/a.au"), "gone": link(mnt + "/d")})
        out, err, status = run([root])
    assert out == HEADER_ROW + root + "/x.au" + TAIL + "\n" and status == 1, err
    assert sorted(FAILED_PLACE.findall(err)) == [
        (root + p, "Transport endpoint is not connected") for p in ("/gone", "/gone.au")]


@native_only
@pytest.mark.skipif(not strace_works(), reason="needs strace and ptrace")
@pytest.mark.parametrize("call", ["getdents64", "openat", "read"])
def test_failures_injected(call, tmp):
    """The K-th listing, open or read failing: EMFILE or ENFILE on an open
    leave the catalogue whole; a storage failure gives status 1, the place
    named and a subsequence of the rows (all but the place's, but for a
    listing); missing and not accessible are silent."""
    make_tree(tmp, {"d%d/%s%d.au" % (i % 3, "e/" * (i % 2), i): REC for i in range(24)})
    full = run([tmp])[0].splitlines()
    # The calls are counted from the main thread's first on the tree, past
    # the dynamic loader's.
    log = tmp + "/trace"
    traced([tmp], log, "trace=" + call, "decode-fds=path", preexec_fn=limits(1))
    lines = pathlib.Path(log).read_text().splitlines()
    main = [line for line in lines if line.split()[0] == lines[0].split()[0]]
    # Reads are the walk's only until the first is judged; the root is
    # opened and listed, not read.
    first = (1 if call == "read" else 2) + next(i for i, line in enumerate(main) if tmp in line)
    shortages = ("EMFILE", "ENFILE") if call == "openat" else ()
    for error in ("EIO", "ENXIO", "ESTALE", "ETIMEDOUT", "EACCES", "ENOENT") + shortages:
        checked = 0
        tries = 40 if error in shortages else 1 if call == "read" else 5
        for k in range(first, first + tries, 2):
            # On two processors a reader may make the reads the main thread
            # makes on one: then its K-th never comes.
            for processors in (0, 1) if call != "read" else (1,):
                out, err, status = traced([tmp], log, "trace=" + call, "decode-fds=path",
                                          "inject=%s:error=%s:when=%d" % (call, error, k),
                                          preexec_fn=limits(processors))
                calls = pathlib.Path(log).read_text().splitlines()
                # A call strace split around another's: from where it began.
                injected = [line if "resumed>" not in line else next(
                    c for c in reversed(calls[:i]) if c.split()[0] == line.split()[0])
                    for i, line in enumerate(calls) if "INJECTED" in line]
                if not any(tmp in line for line in injected):
                    continue  # another file's: /proc/stat, say
                checked += 1
                rows = iter(full)
                assert all(row in rows for row in out.splitlines()), (error, k)
                places = FAILED_PLACE.findall(err)
                silent = error in ("EACCES", "ENOENT") + shortages
                assert status == (0 if silent else 1) and bool(places) != silent, (error, k, err)
                assert all(p.startswith(tmp) for p, _ in places), err
                if error in shortages:
                    assert out.splitlines() == full, (error, k, err)
                elif call != "getdents64":  # the walk goes on past the places lost
                    # The K-th call of each thread fails: the walk's and a reader's.
                    lost = tuple(d + ("/" + n if n else "") + end for d, n in re.findall(
                        r'\(\d+<([^>]*)>(?:, "([^"]*)")?', "\n".join(injected)) for end in "/,")
                    assert out.splitlines() == [r for r in full if not r.startswith(lost)], (
                        error, k, lost)
        assert checked, error


@native_only
@pytest.mark.skipif(not strace_works(), reason="needs strace and ptrace")
def test_listing_failing_once_given_up(tmp):
    """Beyond the budget a listing on the walk path gives up its descriptor,
    its rest read and kept: a failure then is named all the same. Past the
    first levels every other listing call is such a one."""
    make_tree(tmp, {"s/" * i + "r%d.au" % i: REC for i in range(60)})
    for k in range(21, 25):
        out, err, status = traced([tmp], tmp + "/trace", "trace=getdents64",
                                  "inject=getdents64:error=EIO:when=%d" % k,
                                  preexec_fn=limits(nofile=16))
        assert status == 1 and len(FAILED_PLACE.findall(err)) == 1, (k, err)


@native_only
@pytest.mark.skipif(not strace_works(), reason="needs strace and ptrace")
def test_no_threads_to_be_had(tmp):
    """Reads that wait for the storage, and the system refusing every
    thread: the walk reads all the files itself."""
    with share(tmp, SHARED, "--delay-us=1000") as (mnt, rows_of):
        log = tmp + "/trace"
        try:
            result = traced([mnt], log, "trace=clone,clone3", "inject=clone,clone3:error=EAGAIN",
                            timeout=120)
        finally:  # a tool that waits for readers it does not have outlives strace
            subprocess.run(["pkill", "-KILL", "-xf", re.escape("%s %s" % (EXE, mnt))])
        expect(result, rows_of(list(SHARED)), 20)
    assert "EAGAIN (Resource temporarily unavailable) (INJECTED)" in pathlib.Path(log).read_text()


@native_only
@pytest.mark.skipif(not strace_works(), reason="needs strace and ptrace")
def test_root_slash_failing(tmp):
    """The root / failing as it is listed is named as given."""
    out, err, status = traced(["/"], tmp + "/trace", "inject=getdents64:error=EIO:when=1")
    assert (out, status) == (HEADER_ROW, 1) and err.startswith("aucatalog: /: Input/output error\n")


# The numbers of calls /proc/PID/task/TID/syscall shows, and of one made.
CALLS = {"x86_64": {"read": 0, "write": 1, "futex": 202, "tgkill": 234},
         "aarch64": {"read": 63, "write": 64, "futex": 98, "tgkill": 131}}.get(os.uname().machine)


def threads(pid):
    """Of each thread of pid's: its id, the call it is in and that call's
    first argument (-1 if in none), and the signals it blocks."""
    for task in pathlib.Path("/proc/%d/task" % pid).iterdir():
        with contextlib.suppress(OSError, AttributeError, IndexError, ValueError):
            call = (task / "syscall").read_text().split() + ["-1"]
            blocked = re.search(r"SigBlk:\s*(\w+)", (task / "status").read_text()).group(1)
            yield int(task.name), int(call[0]), int(call[1], 0), int(blocked, 16)


def fd_path(pid, fd):
    with contextlib.suppress(OSError):
        return os.readlink("/proc/%d/fd/%d" % (pid, fd))


def ended(p, timeout=60):
    """p's output once it ends; killed should it not, so that a share can go."""
    try:
        return p.communicate(timeout=timeout)
    finally:
        p.kill()
        p.wait()


def look_until(p, found):
    """found()'s answer once it has one, or once p has ended: no clock, the
    processor given up between looks at /proc."""
    while p.poll() is None and not (answer := found()):
        os.sched_yield()
    return p.poll() is None and answer


def send_to_reader(p, number, held):
    """number sent to a reader waiting for work, once the read that never
    ends has begun: sent to that reader, a signal waits for it to end. A
    sanitizer's own thread blocks every signal."""
    look_until(p, lambda: any(call == CALLS["read"] and fd_path(p.pid, fd) == held
                              for _, call, fd, _ in threads(p.pid)))
    waiting = look_until(p, lambda: next((
        tid for tid, call, _, blocked in threads(p.pid) if tid != p.pid and
        call == CALLS["futex"] and not blocked >> (number - 1) & 1), None))
    assert ctypes.CDLL(None).syscall(CALLS["tgkill"], p.pid, waiting, number) == 0


@pytest.mark.parametrize("signal_name,to", [
    ("SIGINT", "process"), ("SIGTERM", "process"), ("SIGHUP", "process"), ("SIGINT", "reader")])
def test_interrupted(signal_name, to, tmp):
    """Interrupted after the first dot while the last file's read never ends:
    a prefix of whole rows, the summary, a line that says so, and the
    signal's status. The signal may land on any thread; sent to a reader's,
    the walk must still see it."""
    if WINE:
        pytest.skip("Wine 8 turns SIGINT into no console control event: the run goes on")
    if to == "reader" and not CALLS:
        pytest.skip("knows the calls' numbers on x86_64 and arm64 only")
    number = getattr(signal, signal_name)
    make_tree(tmp + "/src", SHARED)
    held = in_listing_order(tmp + "/src", list(SHARED))[-1]  # after the first dot
    with share(tmp, SHARED, "--delay-us=1000", "--hold=" + held) as (mnt, rows_of):
        p = subprocess.Popen([EXE, mnt], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        try:
            first = p.stderr.read(1)
            send_to_reader(p, number, mnt + "/" + held) if to == "reader" else p.send_signal(number)
        finally:
            out, err = ended(p)  # also should the test fail, so that the share can go
        err = (first + err).decode()
    full = catalogue(rows_of(list(SHARED)))
    assert full.startswith(out.decode()) and out.endswith(b"\n") and p.returncode == -number
    assert re.fullmatch(r"\.*\n(\d+) total files processed in .*\naucatalog: interrupted\n", err)
    assert int(re.match(r"\.*\n(\d+)", err).group(1)) == out.count(b"\n") - 1


@native_only
@pytest.mark.skipif(not CALLS, reason="knows the calls' numbers on x86_64 and arm64 only")
def test_interrupted_as_the_last_rows_go_out(tmp):
    """Interrupted once the walk is done, while its rows wait for a full
    pipe: they all go out, and the run still ends as interrupted."""
    make_tree(tmp, {"r%d.au" % i: REC for i in range(100)})  # more than a pipe of one page
    readable, writable = os.pipe()
    fcntl.fcntl(writable, fcntl.F_SETPIPE_SZ, 4096)
    p = subprocess.Popen([EXE, tmp], stdout=writable, stderr=subprocess.PIPE,
                         preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    os.close(writable)
    look_until(p, lambda: any(tid == p.pid and call == CALLS["write"] and fd == 1
                              for tid, call, fd, _ in threads(p.pid)))
    p.send_signal(signal.SIGINT)
    with os.fdopen(readable, "rb") as pipe:
        out = pipe.read()
    err = ended(p)[1].decode()
    rows = [shown(tmp + "/" + rel) + TAIL for rel in in_listing_order(tmp, os.listdir(tmp))]
    assert out.decode() == catalogue(rows)
    assert re.fullmatch(r"\n100 total files processed in .*\naucatalog: interrupted\n", err), err
    assert p.returncode == -signal.SIGINT


def test_recording_past_2_gib(tmp):
    """A size past 31 bits, which a 32-bit build must be able to ask for."""
    make_tree(tmp, {"big.au": sparse(REC, 3 << 30)})
    expect(run([shown(tmp)]), [shown(tmp + "/big.au") + TAIL.replace("0:01", "6710:53")], 0)


@native_only
@pytest.mark.skipif(not CALLS, reason="knows the calls' numbers on x86_64 and arm64 only")
def test_interrupted_short_of_descriptors(tmp):
    """On 16 descriptors, one processor, the second file's read never ending:
    the directories after it stay open until their rows go out, and the walk
    waits for one to be given back; interrupted then, it ends."""
    tree = {"x%d/r%d.au" % (i, k): REC for i in range(10) for k in range(3)}
    make_tree(tmp + "/src", tree)
    order = in_listing_order(tmp + "/src", list(tree))  # the first, the walk reads itself
    with share(tmp, tree, "--delay-us=100", "--hold=" + order[1]) as (mnt, rows_of):
        p = subprocess.Popen([EXE, mnt], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=limits(processors=1, nofile=16))
        # The walk, the main thread, waits on a condition only for reads: seen
        # there three looks in a row, it waits. A sound tool ends on the signal
        # wherever it lands, and CTest's time limit catches a hang.
        looks = []

        def walk_waits():
            looks.append([call for tid, call, _, _ in threads(p.pid) if tid == p.pid])
            return looks[-3:] == [[CALLS["futex"]]] * 3
        asleep = look_until(p, walk_waits)
        p.send_signal(signal.SIGINT)
        out, err = ended(p)
        full = catalogue(rows_of(list(tree)))
    assert asleep and p.returncode == -signal.SIGINT and full.startswith(out.decode()), err
    assert err.decode().endswith("aucatalog: interrupted\n")


def test_linked_directories_walked_once(tmp):
    """18 levels of two links each give one row, not 2**18; of eight links to
    a directory beside them only the first is walked, if it comes first; 40
    levels, each with a link to the subdirectory beside it, give each
    recording once or twice, not once a level above it."""
    make_tree(tmp + "/chain", {"l18/y.au": REC, **{
        "l%d/%s" % (i, n): link("../l%d" % (i + 1)) for i in range(18) for n in "ab"}})
    root = tmp + "/rec"
    make_tree(root, {"start": link("../chain/l0"), "real/x.au": REC,
                     **{"l%d" % i: link("real") for i in range(8)}})
    chain = "/".join(min("ab", key=listing(tmp + "/chain/l%d" % i).index) for i in range(18))
    first = next(name for name in listing(root) if name.startswith("l"))
    rows = ["start/%s/y.au" % chain, "real/x.au"]
    if listing(root).index(first) < listing(root).index("real"):
        rows.append(first + "/x.au")
    expect(run([shown(root)]), [shown(root + "/" + rel) + TAIL
                                for rel in in_listing_order(root, rows)], 10 + 2 * 18)
    make_tree(tmp + "/ladder", {**{"r/" * i + "x%d.au" % i: REC for i in range(40)},
                                **{"r/" * i + "a": link("r") for i in range(39)}})
    out, err, status = run([shown(tmp + "/ladder")])
    names = re.findall(r"x\d+\.au", out)
    assert status == 0 and all(1 <= names.count("x%d.au" % i) <= 2 for i in range(40)), err


@native_only
def test_rows_and_dots_on_a_terminal(tmp):
    """On one terminal each row comes before the dot of its directory."""
    make_tree(tmp, {"d1/r.au": REC, "d2/r.au": REC})
    terminal, other_end = pty.openpty()
    with subprocess.Popen([EXE, tmp], stdout=other_end, stderr=other_end):
        os.close(other_end)
        text = b""
        with contextlib.suppress(OSError):  # EIO once the tool has closed its end
            while chunk := os.read(terminal, 4096):
                text += chunk
    os.close(terminal)
    rows = "".join(tmp + "/" + rel + TAIL + "\n."
                   for rel in in_listing_order(tmp, ["d1/r.au", "d2/r.au"]))
    assert re.fullmatch(re.escape(HEADER_ROW + rows) + r"\n2 total files processed in .*\n",
                        text.decode().replace("\r\n", "\n"))


@native_only
def test_failed_write_stops_the_walk(tmp):
    """The summary counts the rows that went out whole: none to a full disk
    or a closed pipe; to a file, those before the limit of its size."""
    make_tree(tmp, {"d%d/r%d.au" % (i // 100, i): REC for i in range(5000)})
    make_tree(tmp + "/no_rows", {"d%d" % i: DIR for i in range(50)})
    readable, closed_pipe = os.pipe()
    os.close(readable)
    capped = tmp + "/catalogue.csv"

    def limited(size):
        def apply():
            signal.signal(signal.SIGPIPE, signal.SIG_IGN)
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            if size:
                resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
        return apply
    for stdout, size, reason in ((open("/dev/full", "wb"), 0, "No space left on device"),
                                 (closed_pipe, 0, "Broken pipe"),
                                 (open(capped, "wb"), 300000, "File too large")):
        out, err, status = run([tmp], stdout=stdout, preexec_fn=limited(size))
        written = re.fullmatch(r"\.*\n(\d+) total files processed in .*\n"
                               r"aucatalog: error writing the catalogue: %s\n" % reason, err)
        rows = pathlib.Path(capped).read_bytes().count(b"\n") - 1 if size else 0
        assert status == 1 and written and int(written.group(1)) == rows, err
    assert 1000 < rows < 5000
    # Not even the column row written: the walk does not begin.
    for root in (tmp + "/no_rows", tmp + "/missing"):
        assert run([root], stdout=open("/dev/full", "wb"))[1:] == (
            "\n0 total files processed in less than a second\n"
            "aucatalog: error writing the catalogue: No space left on device\n", 1)
    # Descriptors short for good as well: the walk's failure, met first, is the one named.
    out, err, status = run([tmp], stdout=open(capped, "wb"),
                           preexec_fn=lambda: (limited(1000)(), limits(nofile=4)()))
    assert status == 1 and re.search(r"\naucatalog: %s/d\d+: Too many open files\n$" % tmp, err), err


@native_only
def test_current_directory_gone(tmp):
    here = os.getcwd()
    os.chdir(tmp)
    os.rmdir(tmp)
    try:
        result = run([])
    finally:
        os.chdir(here)
    assert result == ("", "aucatalog: cannot determine the current directory: "
                          "No such file or directory\n", 1)


@native_only
def test_file_under_a_lease(tmp):
    """A lease a file server holds on a recording for a client is broken
    and waited for, not taken for a failure."""
    make_tree(tmp, {"a.au": REC, "b.au": REC})
    fd = os.open(tmp + "/a.au", os.O_RDONLY)
    broken = []
    previous = signal.signal(signal.SIGIO, lambda *_: broken.append(
        fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)))
    try:
        try:
            fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_WRLCK)
        except OSError as e:  # EINVAL, or EAGAIN from overlayfs: no leases here
            pytest.skip("no leases here: %s" % e)
        result = run([tmp])
    finally:
        signal.signal(signal.SIGIO, previous)
        os.close(fd)
    expect(result, [tmp + "/" + rel + TAIL for rel in in_listing_order(tmp, ["a.au", "b.au"])], 0)
    assert broken


@native_only
def test_current_directory_deeper_than_path_max(tmp):
    """Run with no argument, where the current directory's path is too long
    to be opened by name."""
    here = os.open(tmp, os.O_RDONLY)
    for _ in range(25):
        os.mkdir("x" * 200, dir_fd=here)
        here, parent = os.open("x" * 200, os.O_RDONLY, dir_fd=here), here
        os.close(parent)
    with open(os.open("r.au", os.O_WRONLY | os.O_CREAT, dir_fd=here), "wb") as f:
        f.write(REC)
    deep = tmp + ("/" + "x" * 200) * 25
    expect(run([], preexec_fn=lambda: os.fchdir(here)), [deep + "/r.au" + TAIL], 0)
    os.close(here)


@pytest.mark.skipif(not WINE, reason="Windows drives")
def test_drive_gone(tmp):
    """The drive letter gone as the walk enters its first directory, as with a
    card reader unplugged: what follows is named, not passed over as missing.
    Another letter than test_drive_root's, should the two run at once."""
    drive = os.environ["WINEPREFIX"] + "/dosdevices/x:"
    tree = {"a/r.au": REC, "b/r.au": REC}
    with share(tmp, tree, "--delay-us=0", "--unlink-on-opendir=a:" + drive) as (mnt, _):
        os.symlink(mnt, drive)
        try:
            out, err, status = run(["X:\\"])
        finally:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(drive)
    assert (out, status) == (HEADER_ROW, 1), err
    assert sorted(p for p, _ in FAILED_PLACE.findall(err)) == ["X:\\a\\r.au", "X:\\b"], err


@pytest.mark.skipif(not WINE, reason="Windows device paths")
def test_extended_root_with_slashes(tmp):
    """//?/Z:/... is a device path, not a share named "?"."""
    make_tree(tmp, ONE)
    root = "//?/" + shown(tmp).replace("\\", "/")
    expect(run([root]), [root + "\\a\\r.au" + TAIL], 1)


@pytest.mark.skipif(not WINE, reason="Windows sharing modes")
def test_file_held_open(tmp):
    """A recording another program holds open sharing nothing, as a receiver
    may while it writes, cannot be opened: passed over in silence, as one
    not accessible."""
    make_tree(tmp, {"a.au": REC, "b.au": REC})
    holder = [WINE, os.path.join(os.path.dirname(EXE), "hold_open.exe"), shown(tmp + "/a.au")]
    with subprocess.Popen(holder, stdin=subprocess.PIPE, stdout=subprocess.PIPE) as held:
        assert held.stdout.readline().strip() == b"held"
        result = run([shown(tmp)])
        held.stdin.close()
    expect(result, [shown(tmp + "/b.au") + TAIL], 0)


@pytest.mark.skipif(not WINE, reason="Windows code pages")
def test_root_in_a_double_byte_code_page(tmp):
    """In code page 932 the second byte of 表 and of ソ is a backslash's: a
    root ending in either does not end in the separator."""
    locales = tmp + "/locales"
    os.mkdir(locales)
    with contextlib.suppress(FileNotFoundError):
        subprocess.run(["localedef", "-i", "ja_JP", "-f", "UTF-8", locales + "/ja_JP.UTF-8"],
                       capture_output=True)
    if not os.path.isdir(locales + "/ja_JP.UTF-8"):
        pytest.skip("needs localedef and the ja_JP locale's source (Debian's locales)")
    for name in ("表", "ソ"):
        root = tmp + "/" + name
        make_tree(root, {"r.au": REC})
        out, err, status = run([shown(root)],
                               env=dict(os.environ, LOCPATH=locales, LC_ALL="ja_JP.UTF-8"))
        out = out.encode("cp1252", "surrogateescape").decode("cp932")  # as run() decoded it
        expect((out, err, status), [shown(root + "/r.au") + TAIL], 0)


@pytest.mark.skipif(not WINE, reason="Windows drives")
def test_drive_root(tmp):
    make_tree(tmp, ONE)
    drive = os.environ["WINEPREFIX"] + "/dosdevices/y:"
    os.symlink(tmp, drive)
    try:
        expect(run(["Y:\\"]), ["Y:\\a\\r.au" + TAIL], 1)
    finally:
        os.unlink(drive)
