#!/usr/bin/env bash
# Reads a built DLL's code and fails if what runs on the host's thread when the
# DLL is loaded or unloaded can reach winpthreads' adoption of a foreign thread
# (__pthread_self_lite). An adopted thread keeps a thread handle, an event and a
# thread-local slot of the DLL's private copy of the threads library, which no
# one gives back once that copy is unloaded: a host that reloads the DLL loses
# them at every load. Needs no Wine, so it also guards the i686 DLL on
# machines that cannot run 32-bit code.
#
# Roots: the entry point, the GCC constructor and destructor lists, and the C
# runtime's initialiser, terminator and TLS-callback tables (.CRT), but for the
# threads library's own TLS callback, which only releases threads that it has
# already adopted, when they end. Edges:
# direct calls and jumps, and any function whose address an instruction names
# (a function pointer handed on, as to atexit or to the unwinder's
# registration), so the graph over-approximates what can run.
#   startup_path_check.sh DLL i686|x86_64
set -euo pipefail
dll=${1:?usage: startup_path_check.sh DLL i686|x86_64}
case "${2:-}" in
  i686) tools=i686-w64-mingw32 word=4 ;;
  x86_64) tools=x86_64-w64-mingw32 word=8 ;;
  *) echo "usage: startup_path_check.sh DLL i686|x86_64" >&2; exit 2 ;;
esac
objdump=$tools-objdump
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$objdump" -d -w --no-show-raw-insn "$dll" >"$work/code"
"$tools-nm" "$dll" >"$work/symbols"
entry=$("$objdump" -f "$dll" | sed -n 's/^start address 0x0*//p')
grep -q '_pthread_self_lite' "$work/code" || { echo "startup path: no threads-library thread adoption linked in"; exit 0; }

# The hex words of a range of the image, one per line, as numbers in hex.
words() {  # words START STOP
  "$objdump" -s --start-address="0x$1" --stop-address="0x$2" "$dll" |
    awk -v word="$word" '/^ [0-9a-f]+ [0-9a-f]/ {
      hex = ""
      for (i = 2; i <= 5 && $i ~ /^[0-9a-f]+$/; i++) hex = hex $i
      for (p = 1; p + 2 * word - 1 <= length(hex); p += 2 * word) {
        value = ""
        for (b = p + 2 * word - 2; b >= p; b -= 2) value = value substr(hex, b, 2)
        sub(/^0+/, "", value); print (value == "" ? "0" : value)
      }
    }'
}
symbol_address() {  # the address of a symbol, without leading zeros
  awk -v name="$1" '$NF == name { a = $1; sub(/^0+/, "", a); print a; exit }' "$work/symbols"
}

{
  echo "$entry"
  # GCC's lists: -1, the functions, 0; the constructors' list, then the destructors'.
  for list in __CTOR_LIST__ __DTOR_LIST__; do
    start=$(symbol_address "$list")
    [ -n "$start" ] || continue
    words "$start" "$(printf '%x' $((0x$start + 64 * word)))" | awk 'NR > 1 && $0 == "0" { exit } NR > 1'
  done
  # .CRT: the C initialisers and terminators and the TLS callbacks, null-padded.
  crt=$("$objdump" -h "$dll" | awk '$2 == ".CRT" { print $4, $3 }')
  if [ -n "$crt" ]; then
    read -r start size <<<"$crt"
    words "${start#"${start%%[!0]*}"}" "$(printf '%x' $((0x$start + 0x$size)))" | grep -vx 0 || true
  fi
} >"$work/roots"

awk -v roots="$work/roots" '
  function strip(a) { sub(/^0+/, "", a); return a }
  FNR == 1 { while ((getline r < roots) > 0) root[r] = 1 }
  /^[0-9a-f]+ <[^>]+>:$/ {
    current = strip($1); name[current] = substr($2, 2, length($2) - 3); order[++functions] = current; next
  }
  /^ *[0-9a-f]+:\t/ && current != "" {
    line = $0
    while (match(line, /<[^>+]+>/)) { named[current] = named[current] " " substr(line, RSTART + 1, RLENGTH - 2); line = substr(line, RSTART + RLENGTH) }
    line = $0; sub(/^ *[0-9a-f]+:\t/, "", line)
    while (match(line, /0x[0-9a-f]+/)) { numbers[current] = numbers[current] " " strip(substr(line, RSTART + 2, RLENGTH - 2)); line = substr(line, RSTART + RLENGTH) }
  }
  END {
    for (a in name) address_of[name[a]] = a
    head = 0; tail = 0
    for (r in root) if ((r in name) && name[r] !~ /^_*dyn_tls_pthread/) { queue[tail++] = r; seen[r] = 1 }
    while (head < tail) {
      f = queue[head++]
      n = split(named[f] " ", targets, " ")
      for (i = 1; i <= n; i++) {
        t = (targets[i] in address_of) ? address_of[targets[i]] : ""
        if (t != "" && !(t in seen)) { seen[t] = 1; parent[t] = f; queue[tail++] = t }
      }
      n = split(numbers[f], targets, " ")
      for (i = 1; i <= n; i++) {
        t = targets[i]
        if ((t in name) && !(t in seen)) { seen[t] = 1; parent[t] = f; queue[tail++] = t }
      }
    }
    # The first adoption in breadth-first order: the shortest path to it.
    for (i = 0; i < tail; i++) if (name[queue[i]] ~ /_pthread_self_lite/) {
      path = name[queue[i]]
      for (g = queue[i]; g in parent; g = parent[g]) path = name[parent[g]] " -> " path
      print "startup path: the host thread that loads or unloads the DLL can be adopted by the threads library:"
      print "  " path
      exit 1
    }
    print "startup path: " tail " functions reachable at load and unload; none adopts the host thread into the threads library"
  }
' "$work/code"
