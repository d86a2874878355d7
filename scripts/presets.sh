# Sourced by scripts/test, scripts/test-in-debian and .ci/run: which
# workflows of CMakePresets.json run when none is named, in one place.

# scripts/test with no preset named, and the first part of CI: the native
# build, its sanitizers and the Windows build under Wine.
default_presets=(default asan tsan windows)
# The rest of CI on this machine's release, each a part of its own: the
# build with clang, the registration library against FFmpeg 4.3 and the
# fuzz targets.
other_presets=(clang ffmpeg4 fuzz)
# CI on another Debian release, in a chroot, and scripts/test-in-debian
# with no preset named: the native build and its address sanitizer.
other_release=trixie
release_presets=(default asan)
