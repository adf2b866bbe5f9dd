#!/usr/bin/env bash
# The language chosen under Wine started with different locales:
#   language_choice_test.sh PROBE_EXE
# Wine derives the system default language from the Unix locale variables;
# LC_ALL wins over LANG and works even where the host lacks the locale.
set -u
wine_run=$(cd "$(dirname "$0")/../../cmake" && pwd)/wine-run
probe=$1
failures=0
while read -r locale want; do
  got=$(env -u LC_CTYPE -u LC_MESSAGES LANG="$locale" LC_ALL="$locale" "$wine_run" "$probe" 2>/dev/null | tr -d '\r')
  index=${got%% *}
  if [ "$index" = "$want" ]; then
    echo "ok   $locale -> $got"
  else
    echo "FAIL $locale -> '$got', want index $want"
    failures=$((failures + 1))
  fi
done <<'TABLE'
zh_CN.UTF-8 0
zh_TW.UTF-8 2
ja_JP.UTF-8 3
en_US.UTF-8 1
zh_HK.UTF-8 1
zh_SG.UTF-8 1
de_DE.UTF-8 1
TABLE
[ "$failures" -eq 0 ]
