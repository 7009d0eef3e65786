#!/usr/bin/env bash
# The project speaks for itself: no file name, file, or commit message refers
# to the design document it was written from, nor to that document's numbered
# sections. The patterns are assembled so this script does not match itself.
set -u
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root" || exit 2

doc='spec''\.md'
word='speci''fication'
sect='\b[P]arts? [0-9]+\.[0-9]+'
the='\b[Tt]he [s]pec\b'
pattern="($doc|$word|$sect|$the)"

status=0
files=$(git ls-files --cached --others --exclude-standard 2>/dev/null || find . -type f -not -path './.git/*' -not -path './build/*')
if echo "$files" | grep -Ein "$pattern"; then
  echo "hygiene: file names above refer to the design document" >&2
  status=1
fi
while IFS= read -r f; do
  [ -f "$f" ] || continue
  if grep -IEn "$pattern" -- "$f" >/dev/null 2>&1; then
    grep -IEn "$pattern" -- "$f" | sed "s|^|$f:|" >&2
    status=1
  fi
done <<< "$files"
if git rev-parse --git-dir >/dev/null 2>&1 && git rev-parse HEAD >/dev/null 2>&1; then
  if git log --format='%H %B' | grep -Ein "$pattern" >&2; then
    echo "hygiene: commit messages above refer to the design document" >&2
    status=1
  fi
fi
[ $status -eq 0 ] && echo "hygiene: clean"
exit $status
