#!/usr/bin/env bash
# tsan.sh [extra ctest arguments...]: a ThreadSanitizer build (build/tsan) of the tests that
# exercise threads, and their run: the binding layer's page provider, the logger and its
# targets, the type registry, scheduled callbacks and waits, the service-proxy tables, the
# host core's work queue, and the developer host's work thread, which serves HTTP between its
# passes while other threads hand calls and posts to it (the work thread's own tests, the
# event stream, and the end-to-end tests with concurrent and hostile clients). Exits non-zero when a build fails, a test fails or
# ThreadSanitizer reports anything (in a test or in a qor-host started by one).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
dir=build/tsan
jobs=${JOBS:-2}

targets=(foundation_tests binding_tests runtime_tests events_tests host_core_tests
         host_unit_tests host_e2e_tests)
filter='^(BindingPoolTest|LoggerTest|LoggerLifetimeTest|PluginLogTarget|TypeRegistryTest'
filter+='|AppModuleSchedule|AppModuleAwait|ServiceProxyTest|StoreProxyReply|HostCore[A-Za-z]*'
filter+='|WorkThread[A-Za-z]*|HostProcessLife|HostWithTestPlugin|HostileClients|HostCredentials'
filter+='|Demo|EventStreamTest)\.'

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_SANITIZE=thread >/dev/null || exit 1
status=0
for target in "${targets[@]}"; do
  if ! cmake --build "$dir" -j "$jobs" --target "$target"; then
    echo "tsan: building $target failed"
    status=1
  fi
done
[ "$status" = 0 ] || exit 1

# halt_on_error makes a report fail its test; second_deadlock_stack helps with lock order.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:history_size=4 ${TSAN_OPTIONS:-}"
ctest --test-dir "$dir" -R "$filter" --output-on-failure --timeout 600 -j "$jobs" "$@" || status=1
if [ "$status" = 0 ]; then echo "tsan: clean"; else echo "tsan: FAILED"; fi
exit "$status"
