#!/usr/bin/env python3
"""The build's own rules, each in a scratch folder:

- a test declared through cmake/testing.cmake carries its limit and labels,
  and one declared any other way, without a limit or with an unknown label
  stops the configure step;
- cmake/run_fuzz_target.cmake passes a fuzz target that ends its time
  without a finding, and fails one that finds something, keeping what it
  found and no finding of an earlier run (stand-in targets that answer as
  libFuzzer does);
- the run preset configures with none of GoogleTest, Benchmark,
  nlohmann-json, CLI11 or Python, and builds Harnvik;
- scripts/setup installs for running Harnvik nothing that only the tests,
  the Windows build, clang or the FFmpeg builds need, and for the other
  purposes what they run.

usage: build_rules_test.py CASE SOURCE_FOLDER SCRATCH_FOLDER
  CASE: declared_tests, fuzz_runs, run_preset or setup_purposes
"""
import json
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no cache folder in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, outcome  # noqa: E402


def run(command, env=None, cwd=None, timeout=120):
    result = subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=timeout)
    return result.returncode, result.stdout + result.stderr


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def configure_tests(source, scratch, name, declarations):
    """Configures a project whose tests are the given declarations."""
    project = os.path.join(scratch, name)
    shutil.rmtree(project, ignore_errors=True)
    write(os.path.join(project, "CMakeLists.txt"),
          "cmake_minimum_required(VERSION 3.25)\nproject(declared NONE)\nenable_testing()\n"
          f"include({source}/cmake/testing.cmake)\n{declarations}\nkarvon_check_tests()\n")
    return project, *run(["cmake", "-S", project, "-B", os.path.join(project, "build")])


def check_declared_tests(source, scratch):
    project, status, out = configure_tests(source, scratch, "declared", """
karvon_add_check(NAME quick TIMEOUT 30 COMMAND true)
karvon_add_check(NAME staged TIMEOUT 40 LABELS package COMMAND true PROPERTIES FIXTURES_SETUP stage)
karvon_add_end_to_end_test(NAME soak COMMAND true --runner= FIXTURES_REQUIRED stage)
karvon_add_end_to_end_test(NAME three RUNS 3 COMMAND true)
karvon_add_end_to_end_test(NAME none RUNS 0 COMMAND true)""")
    if not check(status == 0, f"declared tests: configure failed:\n{out}"):
        return
    listing = subprocess.run(["ctest", "--show-only=json-v1"], cwd=os.path.join(project, "build"),
                             capture_output=True, text=True, check=True).stdout
    tests = {t["name"]: t for t in json.loads(listing)["tests"]}
    props = {name: {p["name"]: p["value"] for p in t.get("properties", [])}
             for name, t in tests.items()}
    check(props["quick"].get("LABELS") == ["unit"] and props["quick"].get("TIMEOUT") == 30,
          f"a check is labelled unit with its limit: {props['quick']}")
    staged = props["staged"]
    check(staged.get("LABELS") == ["package"] and staged.get("FIXTURES_SETUP") == ["stage"],
          f"a check's labels and properties: {staged}")
    soak = props["soak"]
    check(soak.get("LABELS") == ["end_to_end"] and soak.get("TIMEOUT") == 1200 and
          soak.get("SKIP_RETURN_CODE") == 77 and soak.get("FIXTURES_REQUIRED") == ["stage"],
          f"an end-to-end test's properties: {soak}")

    # The runs of the program that each takes of the machine's.
    def runs(name):
        groups = props[name].get("RESOURCE_GROUPS", [])
        return sum(r["slots"] for g in groups for r in g["requirements"]
                   if r[".type"] == "harnvik_runs")
    check((runs("soak"), runs("three"), runs("none")) == (1, 3, 0),
          f"runs of the program taken: {runs('soak')}, {runs('three')}, {runs('none')}")
    command = tests["soak"]["command"]
    check(command[-1] == "--runner=", f"an option written --runner= is lost: {command}")

    for name, declaration, says in (
            ("undeclared", "add_test(NAME bare COMMAND true)",
             "Test bare in"),
            ("no_limit", "karvon_add_check(NAME unlimited COMMAND true)", "Test unlimited: no TIMEOUT"),
            ("bad_label", "karvon_add_check(NAME odd TIMEOUT 5 LABELS slow COMMAND true)",
             "Test odd: label slow is none of")):
        _, status, out = configure_tests(source, scratch, name, declaration)
        flat = " ".join(out.split())
        check(status != 0 and says in flat, f"{name}: configure exit {status}, says:\n{out}")


def fake_target(path, body):
    """A stand-in fuzz target: records its arguments, finds its artifact
    prefix, then does what body says."""
    write(path, f"""#!/bin/sh
echo "$@" > "$0.args"
for argument; do
  case "$argument" in -artifact_prefix=*) findings=${{argument#-artifact_prefix=}} ;; esac
done
{body}
""", 0o755)


def run_fuzz(source, scratch, target):
    findings = os.path.join(scratch, "findings", os.path.basename(target))
    corpus = os.path.join(scratch, "corpus", os.path.basename(target))
    status, out = run(["cmake", f"-DTARGET={target}", "-DSECONDS=7", f"-DSEEDS={scratch}/seeds",
                       f"-DCORPUS={corpus}", f"-DFINDINGS={findings}", "-P",
                       f"{source}/cmake/run_fuzz_target.cmake"])
    return status, out, findings, corpus


def check_fuzz_runs(source, scratch):
    scratch = os.path.join(scratch, "fuzz")
    shutil.rmtree(scratch, ignore_errors=True)
    done = 'echo "#2 INITED cov: 11 ft: 12"; echo "#9 DONE cov: 13 ft: 14"; ' \
           'echo "Done 9 runs in 7 second(s)"; echo "stat::number_of_executed_units: 9"'

    quiet = os.path.join(scratch, "quiet_fuzz")
    fake_target(quiet, f"{done}; exit 0")
    stale = os.path.join(scratch, "findings", "quiet_fuzz", "crash-from-before")
    write(stale, "old")
    status, out, findings, corpus = run_fuzz(source, scratch, quiet)
    check(status == 0, f"a target without a finding fails: {out}")
    check(os.listdir(findings) == [], f"findings of an earlier run are kept: {os.listdir(findings)}")
    check("number_of_executed_units 9" in out and "cov: 13 ft: 14" in out,
          f"the run's figures are not shown: {out}")
    args = open(quiet + ".args").read().split()
    check("-max_total_time=7" in args and args[-2:] == [corpus, f"{scratch}/seeds"],
          f"the target is not given its time, corpus and seeds: {args}")

    finder = os.path.join(scratch, "finder_fuzz")
    fake_target(finder, 'echo "==1==ERROR: AddressSanitizer: heap-buffer-overflow"; '
                        'echo bad > "${findings}crash-1234"; exit 1')
    status, out, findings, _ = run_fuzz(source, scratch, finder)
    check(status != 0, "a target that found a crash passes")
    check(os.listdir(findings) == ["crash-1234"], f"the finding is not kept: {os.listdir(findings)}")
    check("heap-buffer-overflow" in out and "crash-1234" in out, f"the failure is not shown: {out}")

    cut = os.path.join(scratch, "cut_fuzz")
    fake_target(cut, 'echo "#2 INITED cov: 1 ft: 1"; exit 0')
    status, out, _, _ = run_fuzz(source, scratch, cut)
    check(status != 0, "a target that ended without saying Done passes")


def check_run_preset(source, scratch):
    binary = os.path.join(scratch, "run_preset")
    shutil.rmtree(binary, ignore_errors=True)
    # What running Harnvik must not need, made unfindable.
    hidden = [f"-DCMAKE_DISABLE_FIND_PACKAGE_{package}=ON"
              for package in ("GTest", "benchmark", "nlohmann_json", "CLI11", "Python3")]
    status, out = run(["cmake", "--preset", "run", "-B", binary] + hidden, cwd=source)
    if not check(status == 0, f"the run preset needs more than building Harnvik does:\n{out}"):
        return
    targets = subprocess.run(["ninja", "-C", binary, "-t", "targets", "all"], capture_output=True,
                             text=True, check=True).stdout
    # What it builds: the outputs, named relative to its build folder.
    outputs = [line.split(":")[0] for line in targets.splitlines() if not line.startswith("/")]
    check("bin/Harnvik" in outputs, "the run preset does not build Harnvik")
    extra = [o for o in outputs if o.startswith(("tests/", "harnvik_report/", "bench/"))]
    check(not extra, f"the run preset builds the report, tests or benchmarks: {extra[:5]}")
    # Its unity build compiles several sources of a library as one, where two
    # of them that define the same name in their anonymous namespaces clash:
    # no other build would see it.
    status, out = run(["cmake", "--build", binary, "--target", "Harnvik"], timeout=900)
    check(status == 0, f"the run preset does not build Harnvik:\n{out[-4000:]}")


def check_setup_purposes(source, scratch):
    bin_folder = os.path.join(scratch, "setup-bin")
    shutil.rmtree(bin_folder, ignore_errors=True)
    asked = os.path.join(scratch, "apt-get.args")
    write(os.path.join(bin_folder, "dpkg-query"), "#!/bin/sh\nexit 1\n", 0o755)
    write(os.path.join(bin_folder, "apt-get"), f'#!/bin/sh\necho "$@" >> {asked}\n', 0o755)
    write(os.path.join(bin_folder, "sudo"), '#!/bin/sh\nexec "$@"\n', 0o755)
    env = dict(os.environ, PATH=bin_folder + os.pathsep + os.environ["PATH"])
    setup = os.path.join(source, "scripts", "setup")

    def installed(*purposes):
        if os.path.exists(asked):
            os.remove(asked)
        status, out = run([setup, *purposes], env=env)
        check(status == 0, f"setup {' '.join(purposes)}: exit {status}: {out}")
        lines = open(asked).read().splitlines() if os.path.exists(asked) else []
        words = " ".join(line for line in lines if line.startswith("install")).split()
        # The packages: apt-get's words less its command and options.
        return {w for w in words[1:] if not w.startswith("-") and "=" not in w}

    # The groups as setup names them: the lists are its own, not restated here.
    status, out = run([setup, "--groups"], env=env)
    check(status == 0, f"setup --groups: exit {status}: {out}")
    groups = {line.split(":")[0]: set(line.split(":")[1].split()) for line in out.splitlines()}
    for_running = installed()
    check(for_running == groups["run"], f"setup installs for running Harnvik other than its run "
          f"group: {sorted(for_running ^ groups['run'])}")
    check(for_running == installed("run"), "setup and setup run differ")
    # Nothing that a test, the Windows build, clang, the cache, a chroot or
    # the FFmpeg builds' make needs is in it.
    only_elsewhere = (groups["test"] | groups["windows"] | groups["clang"] | groups["cache"] |
                      groups["chroots"] | groups["build_tools"])
    check(not for_running & only_elsewhere,
          f"setup installs for running Harnvik what it does not need: "
          f"{sorted(for_running & only_elsewhere)}")
    # Every other purpose has the run group, the rest of the build tools and
    # the cache. The setup scripts' test runs windows-deps, which reads the
    # cross compiler's version; windows-deps and ffmpeg4-deps run make.
    for purpose, wanted in (("default", ("report", "test", "cross")),
                            ("windows", ("report", "test", "windows")),
                            ("fuzz", ("report", "clang")),
                            ("ffmpeg4", ("ffmpeg4",))):
        got = installed(purpose)
        wanted += ("run", "build_tools", "cache")
        missing = set().union(*(groups[g] for g in wanted)) - got
        check(not missing, f"setup {purpose} lacks {sorted(missing)}")
    status, out = run([setup, "bogus"], env=env)
    check(status != 0 and "setup: reading the purpose bogus failed." in out,
          f"setup with an unknown purpose: exit {status}: {out}")


CASES = {"declared_tests": check_declared_tests, "fuzz_runs": check_fuzz_runs,
         "run_preset": check_run_preset, "setup_purposes": check_setup_purposes}


def main():
    case, source, scratch = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
    scratch = os.path.join(scratch, case)
    os.makedirs(scratch, exist_ok=True)
    CASES[case](source, scratch)
    return outcome()


if __name__ == "__main__":
    sys.exit(main())
