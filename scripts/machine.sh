# Sourced by the scripts: what this machine can run.
# okulon_runs_32bit_code: true when the kernel runs 32-bit x86 programs. Some
# machines here refuse them ("Exec format error"); there 32-bit Wine cannot run.
okulon_runs_32bit_code() {
  /lib/ld-linux.so.2 --version >/dev/null 2>&1
}
