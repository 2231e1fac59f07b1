#!/usr/bin/env bash
# The completion files of the kestrel client: each names every command and
# option that kestrel --help and kestrel admin --help list, the bash one
# completes commands, administration commands and options, and the zsh one
# parses (when zsh is installed).
set -uo pipefail
kestrel="$1"
completion="$2"
bash_file="$completion/bash/kestrel"
zsh_file="$completion/zsh/_kestrel"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

help="$("$kestrel" --help)"
admin_help="$("$kestrel" admin --help)"
commands="$(sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p' <<<"$help" | grep -v '^admin$' | sort -u)"
admin_commands="$(sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p' <<<"$admin_help" | sort -u)"
options="$( (echo "$help"; for c in $commands; do "$kestrel" "$c" --help; done) |
  grep -o -- '--[a-z][a-z-]*' | sort -u)"
for name in $commands $admin_commands $options; do
  grep -q -- "$name" "$bash_file" || fail "bash completion lacks $name"
  grep -q -- "$name" "$zsh_file" || fail "zsh completion lacks $name"
done
[ -n "$commands" ] && [ -n "$admin_commands" ] || fail "no commands read from --help"

# What bash offers for the words typed; the last word is the one completed.
offered() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _kestrel
  echo "${COMPREPLY[*]}"
}
# shellcheck source=/dev/null
source "$bash_file"
[ "$(offered kestrel a)" = "admin" ] || fail "kestrel a: $(offered kestrel a)"
[ "$(offered kestrel admin p)" = "push-config push-rights passwd" ] ||
  fail "kestrel admin p: $(offered kestrel admin p)"
[ "$(offered kestrel --server h:1 sync work --d)" = "--delete --dry-run" ] ||
  fail "kestrel sync --d: $(offered kestrel --server h:1 sync work --d)"
[ "$(offered kestrel admin r)" = "rights" ] || fail "kestrel admin r: $(offered kestrel admin r)"
[ "$(offered kestrel ls --j)" = "--json" ] || fail "kestrel ls --j: $(offered kestrel ls --j)"
[ -z "$(offered kestrel --project P)" ] || fail "a project name was completed"

if command -v zsh >/dev/null; then
  zsh -n "$zsh_file" || fail "zsh completion does not parse"
fi
[ "$failures" -eq 0 ] && echo "completion: all checks passed"
exit "$failures"
