# Sourced by tools/sanitize and tools/fuzz: the environment that runs Python against the
# ASan+UBSan build in build/asan-site. The modules are instrumented but the interpreter is not,
# so the ASan runtime is preloaded (it must come first in the process) and PYTHONMALLOC=malloc
# routes Python's own allocations through it: an overrun of a Python buffer written by a module
# is then caught too. Leak detection is off because CPython keeps memory alive until exit by
# design; leaks of Python objects are the business of tests/test_leaks.py.
# Expects $root (the repository) to be set.
asan_site="$root/build/asan-site"
asan_cc=${CC:-gcc}
asan_libs=""
for lib in libasan.so libubsan.so; do
  path=$("$asan_cc" -print-file-name="$lib")
  if [ ! -e "$path" ]; then
    echo "$lib not found: install the sanitizer runtimes of $asan_cc" >&2
    exit 2
  fi
  asan_libs="$asan_libs $path"
done
export LD_PRELOAD="${asan_libs# }"
export PYTHONMALLOC=malloc
export PYTHONPATH="$asan_site"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:print_summary=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:report_error_type=1"
# Sanitizer reports, and the one left by a bad C API call.
asan_report_pattern="ERROR: AddressSanitizer|ERROR: UndefinedBehaviorSanitizer|runtime error:|SUMMARY: (AddressSanitizer|UndefinedBehaviorSanitizer)"
