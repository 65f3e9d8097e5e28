#!/usr/bin/env bash
# Lists what the machine library imports and fails on anything that could lock,
# touch the heap, throw or do I/O. The one allocation and the one release the
# library may make are those of the machine object itself: the aligned nothrow
# operator new of CreateMachine and the aligned operator delete of Destroy.
set -euo pipefail
library=${1:?usage: check_imports.sh LIBRARY}
imports=$(nm -D --undefined-only "$library" | awk '{print $NF}' | sed 's/@.*//' | sort -u)
[ -n "$imports" ] || { echo "no imports read from $library"; exit 1; }

locking='^(pthread_|mtx_|cnd_|sem_|__gthread|__cxa_guard_|__atomic_|futex|_ZNSt5mutex|_ZNSt15recursive_mutex|_ZNSt18condition_variable|_ZSt9call_once|_ZSt15__once_callable)'
heap='^(malloc|calloc|realloc|reallocarray|free|aligned_alloc|posix_memalign|memalign|valloc|pvalloc|strdup|strndup|_Zn[wa].*|_Zd[la].*)$'
throwing='^(__cxa_throw|__cxa_allocate_exception|__cxa_rethrow|_Unwind_RaiseException|_ZSt9terminatev)$'
io='^(fopen|fopen64|fclose|fread|fwrite|fflush|fprintf|printf|vprintf|puts|fputs|putchar|write|read|open|open64|close|perror|syslog|_ZSt4cout|_ZSt4cerr)$'
allowed='^(_Znw[jm]St11align_val_tRKSt9nothrow_t|_ZdlPvSt11align_val_t)$'

status=0
while read -r symbol; do
  [ -n "$symbol" ] || continue
  for kind in locking heap throwing io; do
    if [[ $symbol =~ ${!kind} ]] && ! [[ $symbol =~ $allowed ]]; then
      echo "forbidden import ($kind): $symbol"
      status=1
    fi
  done
done <<< "$imports"
for needed in '_Znw[jm]St11align_val_tRKSt9nothrow_t' '_ZdlPvSt11align_val_t'; do
  grep -Eq "^${needed}\$" <<< "$imports" || { echo "expected import missing: $needed"; status=1; }
done
[ $status -eq 0 ] && echo "imports of $library: $(tr '\n' ' ' <<< "$imports")"
exit $status
