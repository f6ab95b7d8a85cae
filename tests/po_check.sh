#!/usr/bin/env bash
# The catalogues against the code, with gettext's own tools: each po/*.po is well formed and
# keeps the English text's "%s" places (msgfmt --check-format), and translates every text the
# code marks for translation (xgettext collects them as scripts/update-po does; msgcmp finds
# any that a catalogue lacks, leaves untranslated or marks fuzzy).
# Usage: po_check.sh SOURCE_TREE
set -euo pipefail
cd "$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for po in po/*.po; do
  msgfmt --check --check-format -o /dev/null "$po" || failed=1
done
scripts/update-po "$work/now.pot"
for po in po/*.po; do
  msgcmp "$po" "$work/now.pot" || { echo "FAIL: $po lacks texts of the code: run scripts/update-po and translate them" >&2; failed=1; }
done
exit $failed
