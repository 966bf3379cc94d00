# Test command for the fault runs: the same tests as planted-faults' default (host-debug ctest without
# the campaign and bench labels), unit tests first, each stage stopping at its first failure.
# With FAULT_MATRIX_LOG set, every test runs instead, and the fault's hunk header and the tests that
# failed are appended to that file: which tests catch each fault, and which catch it alone.
if [ -z "${FAULT_MATRIX_LOG:-}" ]; then
    ctest --test-dir build/host-debug -j2 --timeout 120 -L unit --stop-on-failure >/dev/null &&
    ctest --test-dir build/host-debug -j2 --timeout 300 -LE 'unit|campaign|bench' --stop-on-failure >/dev/null
    exit
fi
rm -f build/host-debug/Testing/Temporary/LastTestsFailed.log
ctest --test-dir build/host-debug -j2 --timeout 300 -LE 'campaign|bench' >/dev/null 2>&1
status=$?
failed=$(cut -d: -f2 build/host-debug/Testing/Temporary/LastTestsFailed.log 2>/dev/null | tr '\n' ' ')
echo "$(git diff -U0 | grep -E '^(\+\+\+|@@)' | tr '\n' ' ')|| $failed" >> "$FAULT_MATRIX_LOG"
exit $status
