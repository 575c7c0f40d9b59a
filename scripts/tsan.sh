#!/usr/bin/env bash
# Builds the parallel and multi-process tests with ThreadSanitizer (no
# AddressSanitizer: the two do not mix) into build-tsan and runs them: the
# parallel downloads, the server's write, archive store, file delivery,
# many-client, safety and privacy tests (which answer on the engine's event
# threads, its workers and its watch and timer threads), the transport shared
# by threads (its transfer engine, whose thread runs every request, over
# HTTP/1.1 and HTTP/2, with cancellation), listings whose pages are asked
# ahead on threads of their own, saves racing in one cache, processes
# racing and crashing on one cache (the quarn tool, whose serve command some
# of them start, and the crash helper are built with TSan as well),
# requests by URL from many threads on one object, and worlds whose
# included models and batches of URLs go through the parallel downloads.
# Extra arguments go to ctest (e.g. --repeat until-fail:5).
#
#   scripts/tsan.sh
#
# A report fails the run (halt_on_error). libcurl, libzip, libmicrohttpd and
# cpp-httplib (the tests' client) come from the system and are not
# instrumented. TSan cannot see their own synchronisation (a function-local
# static that one thread built and another reads, for instance, is reported
# as a race on memcmp inside libcpp-httplib), so
# ignore_noninstrumented_modules=1 keeps the memory accesses of those
# libraries out of the reports; every access made by our code, server
# included, is still checked.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QX_TSAN_BUILD_DIR:-$root/build-tsan}"
tests=(ClientBatchDownloads_TEST RepositoryServerWrites_TEST CacheWriter_TEST StagingDirectory_TEST
       CacheProcesses_TEST CacheCrashes_TEST ArchiveStore_TEST FileDelivery_TEST
       ManyClients_TEST RestClientExchange_TEST ServerSafety_TEST PrivateResources_TEST
       RestClient_TEST TransferEngine_TEST DownloadResilience_TEST ModelIter_TEST WorldIter_TEST
       ResourceRequests_TEST WorldIncludes_TEST)
helpers=(quarn qx_save_crasher)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_SANITIZE=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build" -j2 --target "${tests[@]}" "${helpers[@]}"

export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1 ignore_noninstrumented_modules=1}"
cd "$build"
regex="^($(IFS='|'; echo "${tests[*]}"))\$"
ctest --output-on-failure -R "$regex" "$@"
