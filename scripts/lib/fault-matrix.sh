# Test command for a fault matrix: every host-debug test but the campaign and the benchmarks, none
# stopping the others; appends "<the fault's hunk header> || <the tests that failed>" to
# $FAULT_MATRIX_LOG (default build/fault-matrix.log beside the checkout the fault run made).
# A test no fault needs alone is the first to look at when the tests are cut.
log=${FAULT_MATRIX_LOG:-$PWD/build/fault-matrix.log}
rm -f build/host-debug/Testing/Temporary/LastTestsFailed.log
ctest --test-dir build/host-debug -j2 --timeout 300 -LE 'campaign|bench' >/dev/null 2>&1
status=$?
failed=$(cut -d: -f2 build/host-debug/Testing/Temporary/LastTestsFailed.log 2>/dev/null | tr '\n' ' ')
echo "$(git diff -U0 | grep -E '^(\+\+\+|@@)' | tr '\n' ' ')|| $failed" >> "$log"
exit $status
