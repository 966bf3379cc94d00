# Test command for the fault runs: the same tests as planted-faults' default (host-debug ctest without
# the campaign and bench labels), unit tests first, each stage stopping at its first failure.
ctest --test-dir build/host-debug -j2 --timeout 120 -L unit --stop-on-failure >/dev/null &&
ctest --test-dir build/host-debug -j2 --timeout 300 -LE 'unit|campaign|bench' --stop-on-failure >/dev/null
