# Sourced by the release checks, which set `work` (their scratch folder) and
# `checkout` (the clone whose scripts/verify-release.sh is under test).

fails() {
  echo "FAILED: $*" >&2
  exit 1
}

# expect_verdict WHAT CODE LINE PATH: verify-release.sh PATH ends within two
# minutes with exit CODE and the last line LINE (a pattern), sends no control
# character but line ends, and leaves no worktree behind.
expect_verdict() {
  local what=$1 code=$2 line=$3 path=$4 status=0
  timeout 120 "$checkout/scripts/verify-release.sh" "$path" >"$work/verify.out" 2>"$work/verify.err" || status=$?
  [ "$status" -eq "$code" ] || { cat "$work/verify.out" "$work/verify.err"; fails "$what: exit $status"; }
  # shellcheck disable=SC2053 # the line is a pattern
  [[ "$(tail -1 "$work/verify.out")" == $line ]] || { cat "$work/verify.out"; fails "$what: $(tail -1 "$work/verify.out")"; }
  ! LC_ALL=C grep -q '[[:cntrl:]]' "$work/verify.out" || fails "$what: a control character reached the terminal"
  [ -z "$(git -C "$checkout" worktree list | sed 1d)" ] || fails "$what: a worktree was left behind"
  echo "$what: exit $status: $(tail -1 "$work/verify.out")"
}
