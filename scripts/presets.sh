# Sourced by scripts/test, scripts/test-in-debian and .ci/run: which
# workflows of CMakePresets.json run when none is named, and so what each
# part of CI checks, in one place. Each part checks what no other part does:
# the runs of the real program (the end_to_end label) run where they can
# find something the others cannot (the optimised build, each sanitizer,
# Windows under Wine, and another Debian release); elsewhere the unit tests
# alone run.

# scripts/test with no preset named, and the first part of CI: the native
# build, its two sanitizers and the Windows build under Wine, each with its
# unit tests and its runs of the real program (the tsan build's unit tests:
# those whose code runs on more than one thread).
default_presets=(default asan tsan windows)
# The rest of CI on this machine's release, each a part of its own: the
# build with clang (its unit tests: another compiler's warnings and code),
# the registration library against FFmpeg 4.3, and every fuzz target for
# 30 s (the fuzz preset's KARVON_FUZZ_SECONDS; longer: scripts/test
# fuzz-long, 600 s each).
other_presets=(clang ffmpeg4 fuzz)
# CI on another Debian release, in a chroot, and scripts/test-in-debian
# with no preset named: the native build with its runs of the real program
# (the other release's compiler, FFmpeg, Wine-free tools), and the address
# sanitizer's unit tests.
other_release=trixie
release_presets=(default asan-unit)
