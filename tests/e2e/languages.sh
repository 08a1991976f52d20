#!/bin/bash
# languages.sh TOOL STUB WINE_RUN ANSWER: a package with English and German
# run under Wine with the user's language set for the run (Wine takes it from
# LANG): de_DE and de_AT are asked in German, fr_FR in English; the files and
# their stamps are the same whichever language asks.
set -u
tool=$1 stub=$2 wine_run=$3 answer=$4
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
fail() { echo "languages: $*"; exit 1; }
winpath() { echo "Z:$(tr / '\\' <<<"$1")"; }
mkdir -p "$work/dist"
printf 'first file\r\n' >"$work/dist/ONE.TXT"; head -c 70000 /dev/urandom >"$work/dist/TWO.BIN"
printf 'caption = "Beispiel-Setup"\nprompt = "Beispiel installieren?"\n' >"$work/de.toml"
common=(--stub "$stub" --caption "Example Setup" --prompt "Install Example?" --date 2026-12-09 --time 4:00)
"$tool" pack -o "$work/lang.exe" "${common[@]}" --dir "$work/dist" --translation "de=$work/de.toml" >/dev/null || fail "pack failed"
"$tool" verify "$work/lang.exe" >/dev/null || fail "the package does not verify: $("$tool" verify "$work/lang.exe" 2>&1)"

# Runs package under language lang with TEMP set to temp, answering its box
# titled title with button; answer starts it and sees only its windows. Each
# word is an argument of its own, so Wine quotes only the title and cmd passes
# it on as it is.
run() {
    local lang=$1 package=$2 title=$3 button=$4 temp=$5
    mkdir -p "$temp"
    LANG=$lang LC_ALL=$lang "$wine_run" cmd.exe /c set "TEMP=$(winpath "$temp")&&" "$(winpath "$answer")" \
        run "$(winpath "$package")" box "$title" "$button" >"$work/wine.log" 2>&1
    code=$?
}
first=""
for case in "de_DE.UTF-8:Beispiel-Setup" "de_AT.UTF-8:Beispiel-Setup" "fr_FR.UTF-8:Example Setup"; do
    lang=${case%%:*} title=${case#*:}
    run "$lang" "$work/lang.exe" "$title" yes "$work/temp-$lang"
    [ "$code" = 77 ] && { echo "languages: skipped: $(cat "$work/wine.log")"; exit 0; }
    [ "$code" = 125 ] && fail "under $lang no question titled \"$title\" was asked: $(cat "$work/wine.log")"
    [ "$code" = 0 ] || fail "under $lang the stub ended with $code"
    # No SETUP.EXE: the files stay, to be compared.
    got=$(cd "$work/temp-$lang" && for f in *; do echo "$f $(md5sum <"$f" | cut -c1-32) $(stat -c %Y "$f")"; done)
    [ -n "$first" ] || first=$got
    [ "$got" = "$first" ] || fail "under $lang the files differ: $got, not: $first"
done
[ "$(wc -l <<<"$first")" = 2 ] || fail "the stub wrote: $first"

# The runner's title is the package's caption in the user's language, read
# from the stub's strings: a program the system folder lacks makes it say so
# in a box with only OK, which the stub's question never has.
mkdir -p "$work/payload"; printf 'x' >"$work/payload/a.txt"
"$tool" pack -o "$work/runner.exe" "${common[@]}" --payload "$work/payload" --run "no-such-selfextr-program /x" \
    --translation "de=$work/de.toml" >/dev/null || fail "pack of the runner package failed"
for case in "de_DE.UTF-8:Beispiel-Setup" "fr_FR.UTF-8:Example Setup"; do
    lang=${case%%:*} title=${case#*:} temp=$work/runner-temp-${case%%:*}
    mkdir -p "$temp"
    # Yes to the question, then OK to the runner's message, both of the
    # package's own processes; a message of another title holds the run until
    # answer gives up on step 2 and ends it.
    LANG=$lang LC_ALL=$lang "$wine_run" cmd.exe /c set "TEMP=$(winpath "$temp")&&" "$(winpath "$answer")" \
        run "$(winpath "$work/runner.exe")" box "$title" yes box "$title" ok >"$work/wine.log" 2>&1
    code=$?
    grep -q "^answer: step 1 " "$work/wine.log" && fail "under $lang the runner package asked nothing titled \"$title\""
    grep -q "^answer: step 2 " "$work/wine.log" && fail "under $lang the runner's message was not titled \"$title\""
    [ "$code" = 0 ] || fail "under $lang the runner package's stub ended with $code: $(cat "$work/wine.log")"
    [ -z "$(ls -A "$temp")" ] || fail "under $lang the runner left: $(ls -R "$temp")"
done
echo "asked in German under de_DE and de_AT, in English under fr_FR; the files the same; the runner titled likewise"
