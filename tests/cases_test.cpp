// The black-box case table: each case runs the built binary once in a fresh
// directory and checks stdout byte for byte, the exit status, what stderr
// must say (or that it says nothing), and every file afterwards.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace skelvane::test {
namespace {

using namespace std::string_literals;

const std::string helptext =
    "skelvane, HTML pattern includer\n"
    "Usage: skelvane [OPTION] <files>\n"
    "\n"
    "  -v, --verbose   : Verbose output\n"
    "  -h, --help      : Display this help and exit\n"
    "      --version   : Display version info and exit\n"
    "      --check     : Report documents a run would change; write nothing\n"
    "      --diff      : Like --check, and show each change as a unified diff\n"
    "      --if-changed: Leave documents whose text would not change untouched\n"
    "      --strict    : Fail a document on anything that draws a warning\n"
    "      --stdout    : Write the new texts to standard output instead\n"
    "      --root=DIR  : Include only pattern files that lie inside DIR\n"
    "      --eol=STYLE : Line ends: keep (the document's), lf or crlf\n"
    "\n";
const std::string versiontext = "skelvane, HTML pattern includer, v. 1.0\n";
const std::string usagetext =
    "Missing file arguments\nTry skelvane --help' for more information.\n";
const std::string fileerror = "File error.\n";

// In an expected tree: the file must not exist afterwards.
const std::string gone = "\x01(gone)";

std::string start(const std::string& name) { return "<!--#pattern file=\"" + name + "\" -->\n"; }
const std::string end = "<!--#endpattern -->\n";
std::string x(std::size_t count) { return std::string(count, 'x'); }

// A document with one region, before and after p.txt ("new\n") goes in.
const std::string olddoc = "<html>\n" + start("p.txt") + "old\n" + end + "</html>\n";
const std::string newdoc = "<html>\n" + start("p.txt") + "new\n\n" + end + "</html>\n";
const std::string pattern = "new\n";

// What --diff shows for olddoc.
std::string diffofolddoc(const std::string& name) {
    return "--- a/" + name + "\t\n+++ b/" + name + "\t\n@@ -1,5 +1,6 @@\n <html>\n " + start("p.txt") +
           "-old\n+new\n+\n " + end + " </html>\n";
}

struct file {
    std::string name;
    std::string content;
};

struct blackboxcase {
    const char* name;
    std::vector<std::string> args;
    std::vector<file> before;
    std::vector<file> after;  // changes to `before`; every other file stays as it was
    std::string out;
    int status = 0;
    std::string err = {};  // lines that stderr must contain; empty: stderr is empty
};

const std::vector<file> simple = {{"a.html", olddoc}, {"p.txt", pattern}};
const std::vector<file> three = {{"a.html", olddoc}, {"c.html", olddoc}, {"p.txt", pattern}};

const blackboxcase cases[] = {
    // The command line.
    {"no_arguments_print_usage", {}, {}, {}, usagetext},
    {"only_options_print_nothing", {"-v"}, simple, {}, ""},
    {"help_anywhere_stops_before_documents", {"a.html", "--help"}, simple, {}, helptext},
    {"version_before_help_wins", {"--version", "--help", "a.html"}, simple, {}, versiontext},
    {"help_in_cluster_vh", {"-vh", "a.html"}, simple, {}, helptext},
    {"help_in_cluster_hv", {"a.html", "-hv"}, simple, {}, helptext},
    {"option_after_document_applies", {"a.html", "-v"}, simple, {{"a.html", newdoc}},
     "Opening file a.html\nIncluding p.txt\n"},
    {"long_verbose_option", {"--verbose", "a.html"}, simple, {{"a.html", newdoc}},
     "Opening file a.html\nIncluding p.txt\n"},
    {"unknown_options_draw_a_warning",
     {"--verbosity", "--HELP", "-x", "--chek", "-diff", "--check=yes", "-vstrcit", "a.html"}, simple,
     {{"a.html", newdoc}}, "Opening file a.html\nIncluding p.txt\n", 0,
     "skelvane: warning: unknown option --verbosity ignored; did you mean --verbose?\n"
     "skelvane: warning: unknown option --HELP ignored; did you mean --help?\n"
     "skelvane: warning: unknown option -x ignored\n"
     "skelvane: warning: unknown option --chek ignored; did you mean --check?\n"
     "skelvane: warning: unknown option -diff ignored; did you mean --diff?\n"
     "skelvane: warning: unknown option --check=yes ignored; did you mean --check?\n"
     "skelvane: warning: unknown option -strcit in -vstrcit ignored; did you mean --strict?"},
    {"unknown_option_with_strict_ends_the_run", {"a.html", "--dry-run", "--strict"}, simple, {}, "", 2,
     "skelvane: unknown option --dry-run\n"},
    {"lone_dash_ignored", {"-", "a.html"}, simple, {{"a.html", newdoc}}, "", 0, "unknown option - ignored"},
    {"double_dash_ends_the_options", {"-v", "--", "-a.html", "--help", "-vh"},
     {{"-a.html", olddoc}, {"--help", olddoc}, {"-vh", olddoc}, {"p.txt", pattern}},
     {{"-a.html", newdoc}, {"--help", newdoc}, {"-vh", newdoc}},
     "Opening file -a.html\nIncluding p.txt\nOpening file --help\nIncluding p.txt\nOpening file -vh\n"
     "Including p.txt\n"},
    {"check_with_double_dash_reads_a_dash_document", {"--check", "--", "-draft.html"},
     {{"-draft.html", olddoc}, {"p.txt", pattern}}, {}, "would update -draft.html\n", 1},
    {"root_without_its_value_ends_the_run", {"--root", "site", "a.html"}, simple, {}, "", 2,
     "skelvane: --root needs its directory after '=': --root=DIR"},
    {"eol_without_its_value_ends_the_run", {"--eol", "lf", "a.html"}, simple, {}, "", 2,
     "skelvane: --eol needs its style after '=': --eol=keep, --eol=lf or --eol=crlf"},
    {"root_that_is_a_file_ends_the_run", {"--root=a.html", "a.html"}, simple, {}, "", 2,
     "skelvane: --root=a.html: Not a directory"},
    {"stdout_with_check_ends_the_run", {"--stdout", "--diff", "a.html"}, simple, {}, "", 2,
     "skelvane: --stdout cannot be used with --check or --diff"},
    {"dash_word_with_h_prints_help", {"a.html", "-index.html"}, simple, {}, helptext},
    {"dash_word_without_h_is_skipped", {"-a.txt"}, {{"-a.txt", olddoc}, {"p.txt", pattern}}, {}, "", 0,
     "skelvane: warning: unknown option -a.txt ignored"},
    {"dash_name_reached_through_directory", {"./-a.html"}, {{"-a.html", olddoc}, {"p.txt", pattern}},
     {{"-a.html", newdoc}}, ""},
    {"empty_argument_fails_and_stops", {"a.html", "", "c.html"}, three, {{"a.html", newdoc}}, fileerror,
     1, "skelvane: \"\": No such file or directory"},
    {"missing_document_stops_the_run", {"a.html", "missing.html", "c.html"}, three,
     {{"a.html", newdoc}}, fileerror, 1, "missing.html: No such file or directory"},
    {"verbose_missing_document", {"-v", "missing.html"}, {}, {}, "Opening file missing.html\n" + fileerror,
     1, "missing.html: No such file or directory"},
    {"same_document_twice", {"-v", "a.html", "a.html"}, simple, {{"a.html", newdoc}},
     "Opening file a.html\nIncluding p.txt\nOpening file a.html\nIncluding p.txt\n"},

    // The directive format and the region state.
    {"worked_example", {"index.html"},
     {{"index.html", "<html>\n  <!--#pattern file=\"nav.txt\" -->\nold text\n<!--#endpattern -->\n</html>\n"},
      {"nav.txt", "one\ntwo\n"}},
     {{"index.html", "<html>\n  <!--#pattern file=\"nav.txt\" -->\none\ntwo\n\n<!--#endpattern -->\n</html>\n"}},
     ""},
    {"second_run_gives_the_same_text", {"a.html"}, {{"a.html", newdoc}, {"p.txt", pattern}}, {}, ""},
    {"document_without_directives_unchanged", {"a.html"}, {{"a.html", "<p>\r\nno directives\n\ttail"}}, {}, ""},
    {"empty_document_stays_empty", {"a.html"}, {{"a.html", ""}}, {}, ""},
    {"keywords_in_any_case", {"a.html"},
     {{"a.html", "<!--#PaTtErN file=\"p.txt\"-->\nold\n<!--#EndPATTERN-->\n"}, {"p.txt", pattern}},
     {{"a.html", "<!--#PaTtErN file=\"p.txt\"-->\nnew\n\n<!--#EndPATTERN-->\n"}}, ""},
    {"keywords_with_letters_after_them", {"a.html"},
     {{"a.html", "<!--#patterns file=\"p.txt\"\nold\n<!--#endpatternfoo\n"}, {"p.txt", pattern}},
     {{"a.html", "<!--#patterns file=\"p.txt\"\nnew\n\n<!--#endpatternfoo\n"}}, ""},
    {"blanks_before_keywords", {"a.html"},
     {{"a.html", " \t <!--#pattern file=\"p.txt\" -->\nold\n\t  <!--#endpattern -->\n"}, {"p.txt", pattern}},
     {{"a.html", " \t <!--#pattern file=\"p.txt\" -->\nnew\n\n\t  <!--#endpattern -->\n"}}, ""},
    {"other_characters_before_keyword_make_plain_text", {"a.html"},
     {{"a.html", "x" + start("p.txt") + "\f" + start("p.txt") + "\r" + start("p.txt") + "<p>" +
                     start("p.txt") + "old\n" + end},
      {"p.txt", pattern}},
     {}, ""},
    {"attribute_variants_that_are_not_found", {"a.html"},
     {{"a.html", "<!--#pattern FILE=\"p.txt\" -->\n<!--#pattern file = \"p.txt\" -->\n"
                 "<!--#pattern file='p.txt' -->\nold\n" + end},
      {"p.txt", pattern}},
     {}, "", 0,
     "a.html:1: start directive names no pattern file\na.html:2: start directive names no pattern "
     "file\na.html:3: start directive names no pattern file"},
    {"attribute_ending_a_longer_name_counts", {"a.html"},
     {{"a.html", "<!--#pattern profile=\"p.txt\" -->\nold\n" + end}, {"p.txt", pattern}},
     {{"a.html", "<!--#pattern profile=\"p.txt\" -->\nnew\n\n" + end}}, ""},
    {"attribute_after_other_text", {"a.html"},
     {{"a.html", "<!--#pattern class=\"x\" file=\"p.txt\" -->\nold\n" + end}, {"p.txt", pattern}},
     {{"a.html", "<!--#pattern class=\"x\" file=\"p.txt\" -->\nnew\n\n" + end}}, ""},
    {"name_with_blanks_and_directories", {"-v", "a.html"},
     {{"a.html", start("my dir/p 1.txt") + "old\n" + end}, {"my dir/p 1.txt", pattern}},
     {{"a.html", start("my dir/p 1.txt") + "new\n\n" + end}},
     "Opening file a.html\nIncluding my dir/p 1.txt\n"},
    {"names_resolve_against_the_current_directory", {"sub/a.html"},
     {{"sub/a.html", olddoc}, {"sub/p.txt", "wrong\n"}, {"p.txt", pattern}}, {{"sub/a.html", newdoc}}, ""},
    {"start_and_end_on_one_line_leave_the_region_open", {"a.html"},
     {{"a.html", "<!--#pattern file=\"p.txt\" --><!--#endpattern -->\nold\n" + end + "after\n"},
      {"p.txt", pattern}},
     {{"a.html", "<!--#pattern file=\"p.txt\" --><!--#endpattern -->\nnew\n\n" + end + "after\n"}}, ""},
    {"end_then_start_on_one_line_inserts_nothing", {"a.html"},
     {{"a.html", "<!--#endpattern --><!--#pattern file=\"p.txt\" -->\nold\n"}, {"p.txt", pattern}}, {}, ""},
    {"end_outside_a_region_is_copied", {"a.html"}, {{"a.html", end + "text\n" + end}}, {}, ""},
    {"start_inside_a_region_inserts_its_pattern_there", {"-v", "a.html"},
     {{"a.html", start("p.txt") + "old\n" + start("q.txt") + "old2\n" + end + "tail\n"},
      {"p.txt", "P\n"}, {"q.txt", "Q\n"}},
     {{"a.html", start("p.txt") + "P\n\nQ\n\n" + end + "tail\n"}},
     "Opening file a.html\nIncluding p.txt\nIncluding q.txt\n", 0,
     "warning: a.html:3: start directive inside a pattern region"},
    {"missing_pattern_inside_a_region_keeps_dropping", {"a.html"},
     {{"a.html", start("p.txt") + "old\n" + start("missing.txt") + "old2\n" + end}, {"p.txt", pattern}},
     {{"a.html", start("p.txt") + "new\n\n" + end}}, "", 0,
     "warning: a.html:3: cannot include \"missing.txt\": No such file or directory\n"
     "warning: a.html:3: start directive inside a pattern region"},
    {"pattern_without_final_line_end", {"a.html"}, {{"a.html", olddoc}, {"p.txt", "new"}},
     {{"a.html", "<html>\n" + start("p.txt") + "new\n" + end + "</html>\n"}}, ""},
    {"empty_pattern_gives_one_empty_line", {"a.html"}, {{"a.html", olddoc}, {"p.txt", ""}},
     {{"a.html", "<html>\n" + start("p.txt") + "\n" + end + "</html>\n"}}, ""},
    {"missing_pattern_keeps_the_old_text", {"-v", "a.html"}, {{"a.html", olddoc}}, {},
     "Opening file a.html\n", 0, "warning: a.html:2: cannot include \"p.txt\": No such file or directory"},
    {"name_without_closing_quote", {"a.html"},
     {{"a.html", "<!--#pattern file=\"p.txt -->\nold\n" + end}, {"p.txt", pattern}}, {}, "", 0,
     "a.html:1: start directive names no pattern file"},
    {"empty_name", {"a.html"}, {{"a.html", start("") + "old\n" + end}}, {}, "", 0,
     "a.html:1: start directive names an empty pattern file name"},
    {"directive_lines_in_a_pattern_are_inserted_as_text", {"a.html"},
     {{"a.html", olddoc}, {"p.txt", "x\n  <!--#endpattern -->\ny\n"}},
     {{"a.html", "<html>\n" + start("p.txt") + "x\n  <!--#endpattern -->\ny\n\n" + end + "</html>\n"}},
     "", 0, "warning: p.txt:2: pattern line begins with a directive keyword"},
    {"unclosed_region_fails_and_leaves_the_document", {"a.html", "c.html"},
     {{"a.html", "top\n" + start("p.txt") + "old\nrest\n"}, {"c.html", olddoc}, {"p.txt", pattern}},
     {{"skelvane.tmp", "top\n" + start("p.txt") + "new\n\n"}}, fileerror, 1,
     "a.html:2: the pattern region that starts here has no end directive, so the rest of the document would be "
     "lost; left unchanged, the new text is in skelvane.tmp"},
    {"failed_insertion_opens_no_region", {"a.html"}, {{"a.html", start("missing.txt") + "rest\n"}}, {},
     "", 0, "cannot include \"missing.txt\""},
    {"start_directive_on_a_last_line_without_line_end", {"a.html"},
     {{"a.html", "top\n<!--#pattern file=\"p.txt\" -->"}, {"p.txt", pattern}},
     {{"skelvane.tmp", "top\n<!--#pattern file=\"p.txt\" -->new\n\n"}}, fileerror, 1,
     "skelvane: a.html:2: the pattern region that starts here has no end directive; left unchanged, the new text is "
     "in skelvane.tmp"},

    // Line pieces of at most 254 characters.
    {"lines_around_the_piece_limit_are_copied_unchanged", {"a.html"},
     {{"a.html", x(253) + "\n" + x(254) + "\n" + x(255) + "\n" + x(508) + "\n" + x(509) + "\nlast"}}, {},
     ""},
    {"keyword_starting_the_second_piece_counts", {"a.html"},
     {{"a.html", x(254) + start("p.txt") + "old\n" + end}, {"p.txt", pattern}},
     {{"a.html", x(254) + start("p.txt") + "new\n\n" + end}}, ""},
    {"blanks_then_keyword_starting_a_later_piece", {"a.html"},
     {{"a.html", x(508) + "  " + start("p.txt") + "old\n" + end}, {"p.txt", pattern}},
     {{"a.html", x(508) + "  " + start("p.txt") + "new\n\n" + end}}, ""},
    {"keyword_one_past_the_piece_start_is_plain", {"a.html"},
     {{"a.html", x(255) + start("p.txt") + "old\n" + end}, {"p.txt", pattern}}, {}, ""},
    {"long_directive_line_continues_into_the_region", {"a.html"},
     {{"a.html", "<!--#pattern file=\"p.txt\" " + std::string(300, 'y') + "-->\nold\n" + end},
      {"p.txt", pattern}},
     {{"a.html", "<!--#pattern file=\"p.txt\" " + std::string(228, 'y') + "new\n\n" + end}}, "", 0,
     "warning: a.html:1: start directive without a line end in its first 254 characters"},
    {"attribute_beyond_the_first_piece_is_not_found", {"a.html"},
     {{"a.html", "<!--#pattern " + std::string(260, 'y') + " file=\"p.txt\" -->\nold\n" + end},
      {"p.txt", pattern}},
     {}, "", 0, "a.html:1: start directive names no pattern file"},

    // NUL bytes.
    {"nul_bytes_are_carried_through", {"a.html"},
     {{"a.html", "a\0b\n"s + start("p.txt") + "old\0x\n"s + end}, {"p.txt", "n\0ul\n"s}},
     {{"a.html", "a\0b\n"s + start("p.txt") + "n\0ul\n\n"s + end}}, ""},
    {"nul_inside_a_keyword_makes_plain_text", {"a.html"},
     {{"a.html", "<!--#pat\0tern file=\"p.txt\"\nold\n"s}, {"p.txt", pattern}}, {}, ""},
    {"nul_before_the_attribute_hides_the_name", {"a.html"},
     {{"a.html", "<!--#pattern \0file=\"p.txt\" -->\nold\n"s + end}, {"p.txt", pattern}}, {}, "", 0,
     "a.html:1: start directive names no pattern file"},
    {"nul_does_not_move_piece_boundaries", {"a.html"},
     {{"a.html", std::string(10, '\0') + x(244) + start("p.txt") + "old\n" + end}, {"p.txt", pattern}},
     {{"a.html", std::string(10, '\0') + x(244) + start("p.txt") + "new\n\n" + end}}, ""},

    // Odd pattern names.
    {"quote_ends_a_name", {"a.html"}, {{"a.html", start("a\"b.txt") + "old\n" + end}, {"a", pattern}},
     {{"a.html", start("a\"b.txt") + "new\n\n" + end}}, ""},
    {"name_of_invalid_utf8", {"-v", "a.html"},
     {{"a.html", start("\xff\xfe.txt") + "old\n" + end}, {"\xff\xfe.txt", pattern}},
     {{"a.html", start("\xff\xfe.txt") + "new\n\n" + end}}, "Opening file a.html\nIncluding \xff\xfe.txt\n"},
    {"name_longer_than_a_piece", {"a.html"}, {{"a.html", start(std::string(4100, 'n')) + "old\n" + end}}, {},
     "", 0, "a.html:1: start directive names no pattern file"},

    // Several documents.
    {"document_including_an_earlier_document", {"a.html", "b.html"},
     {{"a.html", olddoc}, {"b.html", start("a.html") + "old\n" + end}, {"p.txt", pattern}},
     {{"a.html", newdoc}, {"b.html", start("a.html") + newdoc + "\n" + end}}, "", 0,
     "warning: a.html:2: pattern line begins with a directive keyword"},
    {"pattern_rewritten_earlier_in_the_run_is_read_anew", {"a.html", "p.txt", "b.html"},
     {{"a.html", start("p.txt") + "x\n" + end}, {"b.html", start("p.txt") + "x\n" + end},
      {"p.txt", start("q.txt") + "old\n" + end}, {"q.txt", "Q\n"}},
     {{"a.html", start("p.txt") + start("q.txt") + "old\n" + end + "\n" + end},
      {"p.txt", start("q.txt") + "Q\n\n" + end},
      {"b.html", start("p.txt") + start("q.txt") + "Q\n\n" + end + "\n" + end}},
     "", 0, "warning: p.txt:1: pattern line begins with a directive keyword"},
    {"document_including_itself_reads_its_old_text", {"a.html"},
     {{"a.html", start("a.html") + "old\n" + end}},
     {{"a.html", start("a.html") + start("a.html") + "old\n" + end + "\n" + end}}, "", 0,
     "warning: a.html:1: pattern line begins with a directive keyword"},

    // The staging file skelvane.tmp.
    {"leftover_skelvane_tmp_is_never_removed", {"a.html"},
     {{"a.html", olddoc}, {"p.txt", pattern}, {"skelvane.tmp", "junk"}}, {{"a.html", newdoc}}, ""},
    {"files_named_like_staging_files_are_left_alone", {"a.html", "sub/b.html"},
     {{"a.html", start(".skelvane-header") + "old\n" + end}, {".skelvane-header", "H\n"},
      {".skelvane-abc123", "note\n"}, {"sub/b.html", olddoc}, {"sub/.skelvane-abc123", "note\n"},
      {"sub/.skelvane-0123456789abcdeX", "note\n"}, {"p.txt", pattern}},
     {{"a.html", start(".skelvane-header") + "H\n\n" + end}, {"sub/b.html", newdoc}}, ""},
    {"a_possible_leftover_is_reported_by_a_check_too", {"--check", "a.html"},
     {{"a.html", olddoc}, {"p.txt", pattern}, {".skelvane-0123456789abcdef", "a new text\n"}}, {},
     "would update a.html\n", 1,
     ".skelvane-0123456789abcdef: left behind by a skelvane run that was stopped while it replaced a document"},
    {"a_possible_leftover_is_reported_and_kept", {"a.html"},
     {{"a.html", olddoc}, {"p.txt", pattern}, {".skelvane-0123456789abcdef", "a new text\n"}},
     {{"a.html", newdoc}}, "", 0,
     ".skelvane-0123456789abcdef: left behind by a skelvane run that was stopped while it replaced a document"},
    {"leftover_staging_file_stays_when_the_document_is_missing", {"missing.html"},
     {{"skelvane.tmp", "junk"}}, {}, fileerror, 1, "missing.html"},
    {"staging_file_named_as_a_document_is_refused", {"skelvane.tmp"},
     {{"skelvane.tmp", olddoc}, {"p.txt", pattern}}, {}, fileerror, 1, "skelvane.tmp: this is the staging file"},
    {"staging_file_by_another_path_is_refused", {"sub/../skelvane.tmp"},
     {{"skelvane.tmp", olddoc}, {"sub/p.txt", pattern}}, {}, fileerror, 1, "this is the staging file"},
    {"staging_file_by_dot_path_is_refused", {"./skelvane.tmp"}, {{"skelvane.tmp", olddoc}, {"p.txt", pattern}},
     {}, fileerror, 1, "this is the staging file"},
    {"directive_naming_the_staging_file_inserts_nothing", {"a.html"},
     {{"a.html", start("skelvane.tmp") + "old\n" + end}, {"skelvane.tmp", "junk\n"}},
     {}, "", 0, "cannot include \"skelvane.tmp\""},
    {"document_in_another_directory", {"sub/a.html"}, {{"sub/a.html", olddoc}, {"p.txt", pattern}},
     {{"sub/a.html", newdoc}}, ""},

    // --check: nothing written, every document reported.
    {"check_up_to_date", {"--check", "a.html"}, {{"a.html", newdoc}, {"p.txt", pattern}, {"skelvane.tmp", "x"}}, {},
     ""},
    {"check_reports_every_document", {"--check", "a.html", "missing.html", "c.html", "b.html"},
     {{"a.html", olddoc}, {"b.html", olddoc + "tail\n"}, {"c.html", newdoc}, {"p.txt", pattern}},
     {}, "would update a.html\nwould update b.html\n", 2, "File error.\nmissing.html: No such file or directory"},
    {"check_sees_a_shorter_or_longer_text", {"--check", "a.html", "b.html"},
     {{"a.html", newdoc}, {"b.html", newdoc}, {"p.txt", "new\nmore\n"}},
     {}, "would update a.html\nwould update b.html\n", 1},
    {"check_of_a_document_a_run_would_fail", {"--check", "--strict", "a.html", "c.html"},
     {{"a.html", start("missing.txt") + end}, {"c.html", olddoc}, {"p.txt", pattern}}, {},
     "would update c.html\n", 2, "a.html:1: cannot include \"missing.txt\""},

    // --diff: --check with each change shown as a unified diff.
    {"diff_shows_each_change", {"--diff", "-v", "a.html", "c.html", "b.html"},
     {{"a.html", olddoc}, {"b.html", olddoc}, {"c.html", newdoc}, {"p.txt", pattern}}, {},
     "would update a.html\n" + diffofolddoc("a.html") + "would update b.html\n" + diffofolddoc("b.html"), 1,
     "Opening file a.html\nIncluding p.txt\nOpening file c.html"},
    {"diff_with_check_is_the_same", {"--check", "--diff", "a.html"}, simple, {},
     "would update a.html\n" + diffofolddoc("a.html"), 1},
    {"diff_of_an_up_to_date_document", {"--diff", "a.html"}, {{"a.html", newdoc}, {"p.txt", pattern}}, {}, ""},
    {"diff_of_a_document_a_run_would_fail", {"--diff", "--strict", "a.html", "c.html"},
     {{"a.html", olddoc + start("missing.txt") + end}, {"c.html", olddoc}, {"p.txt", pattern}}, {},
     "would update c.html\n" + diffofolddoc("c.html"), 2, "File error.\na.html:6: cannot include \"missing.txt\""},
    {"diff_of_an_unclosed_region", {"--diff", "a.html"}, {{"a.html", start("p.txt") + "old\n"}, {"p.txt", pattern}},
     {}, "", 2, "a.html:1: the pattern region that starts here has no end directive"},

    // --stdout: the new text on stdout, progress and errors on stderr.
    {"stdout_writes_the_new_texts", {"--stdout", "-v", "a.html", "c.html"}, three, {}, newdoc + newdoc, 0,
     "Opening file a.html\nIncluding p.txt\nOpening file c.html"},
    {"stdout_failure_on_stderr", {"--stdout", "missing.html", "a.html"}, simple, {}, "", 1,
     "File error.\nmissing.html: No such file or directory"},

    // --if-changed.
    {"if_changed_leaves_an_unchanged_document", {"--if-changed", "-v", "a.html", "c.html"},
     {{"a.html", newdoc}, {"c.html", olddoc}, {"p.txt", pattern}, {"skelvane.tmp", "x"}},
     {{"c.html", newdoc}},
     "Opening file a.html\nIncluding p.txt\nUnchanged a.html\nOpening file c.html\nIncluding p.txt\n"},
    {"if_changed_sees_a_longer_old_text", {"--if-changed", "a.html"},
     {{"a.html", newdoc + "x"}, {"p.txt", pattern}}, {{"a.html", newdoc + "x"}}, ""},

    // --strict: what draws a warning fails the document.
    {"strict_missing_pattern", {"--strict", "a.html", "c.html"}, {{"a.html", olddoc}, {"c.html", olddoc}}, {},
     fileerror, 1, "a.html:2: cannot include \"p.txt\": No such file or directory"},
    {"strict_no_name", {"--strict", "a.html"}, {{"a.html", "<!--#pattern -->\n"}}, {}, fileerror, 1,
     "a.html:1: start directive names no pattern file"},
    {"strict_directive_lines_in_a_pattern", {"--strict", "a.html", "b.html"},
     {{"a.html", olddoc}, {"b.html", olddoc}, {"p.txt", "x\n<!--#pattern y\n"}}, {}, fileerror, 1,
     "skelvane: p.txt:2: pattern line begins with a directive keyword; documents that include it change on every "
     "run (included at a.html:2)"},
    {"strict_start_inside_a_region", {"--strict", "a.html"},
     {{"a.html", start("p.txt") + start("p.txt") + end}, {"p.txt", pattern}}, {}, fileerror, 1,
     "a.html:2: start directive inside a pattern region"},
    {"strict_start_without_line_end", {"--strict", "a.html"},
     {{"a.html", "x\n<!--#pattern file=\"p.txt\" -->"}, {"p.txt", pattern}}, {}, fileerror, 1,
     "a.html:2: start directive without a line end"},

    // --root=DIR.
    {"root_allows_patterns_inside", {"--root=site", "site/a.html"},
     {{"site/a.html", start("site/parts/p.txt") + "old\n" + end}, {"site/parts/p.txt", pattern}},
     {{"site/a.html", start("site/parts/p.txt") + "new\n\n" + end}}, ""},
    {"root_refuses_names_outside", {"--root=site", "site/a.html"},
     {{"site/a.html", start("/dev/null") + start("secret.txt") + start("site/../secret.txt") +
                          start("site/x/../../secret.txt") + start("site2/secret.txt") + "old\n" + end},
      {"secret.txt", "key\n"}, {"site/x/y", ""}, {"site2/secret.txt", "key\n"}},
     {}, "", 0,
     "a.html:1: cannot include \"/dev/null\": an absolute name, and --root is given\n"
     "a.html:2: cannot include \"secret.txt\": it lies outside\n"
     "a.html:3: cannot include \"site/../secret.txt\": it lies outside\n"
     "a.html:4: cannot include \"site/x/../../secret.txt\": it lies outside\n"
     "a.html:5: cannot include \"site2/secret.txt\": it lies outside"},
    {"root_with_strict_fails_the_document", {"--strict", "--root=site", "site/a.html"},
     {{"site/a.html", start("secret.txt") + end}, {"secret.txt", "key\n"}}, {}, fileerror, 1,
     "site/a.html:1: cannot include \"secret.txt\": it lies outside"},
    {"root_that_does_not_exist", {"--root=nowhere", "a.html"}, simple, {}, "", 2,
     "--root=nowhere: No such file or directory"},
    {"root_left_empty", {"--root=", "a.html"}, simple, {}, "", 2, "--root=: No such file or directory"},

    // --eol.
    {"eol_keep_gives_a_crlf_document_crlf_pattern_text", {"--eol=keep", "a.html"},
     {{"a.html", "<p>\r\n<!--#pattern file=\"p.txt\" -->\r\nold\r\n<!--#endpattern -->\r\n"}, {"p.txt", "p1\np2\r\np3"}},
     {{"a.html", "<p>\r\n<!--#pattern file=\"p.txt\" -->\r\np1\r\np2\r\np3\r\n<!--#endpattern -->\r\n"}}, ""},
    {"eol_keep_gives_an_lf_document_lf_pattern_text", {"--eol=keep", "a.html"},
     {{"a.html", olddoc}, {"p.txt", "p1\r\np2\r\n"}},
     {{"a.html", "<html>\n" + start("p.txt") + "p1\np2\n\n" + end + "</html>\n"}}, ""},
    {"eol_lf_for_the_whole_document", {"--eol=lf", "a.html"},
     {{"a.html", "a\r\nb\rc\n<!--#pattern file=\"p.txt\" -->\r\nold\r\n<!--#endpattern -->\r\n"}, {"p.txt", "p\r\n"}},
     {{"a.html", "a\nb\rc\n<!--#pattern file=\"p.txt\" -->\np\n\n<!--#endpattern -->\n"}}, ""},
    {"eol_crlf_for_the_whole_document", {"--eol=crlf", "a.html"}, {{"a.html", olddoc}, {"p.txt", "p\r\nq\n"}},
     {{"a.html", "<html>\r\n<!--#pattern file=\"p.txt\" -->\r\np\r\nq\r\n\r\n<!--#endpattern -->\r\n</html>\r\n"}}, ""},
    {"eol_crlf_check", {"--check", "--eol=crlf", "a.html", "b.html"},
     {{"a.html", "<!--#pattern file=\"p.txt\" -->\r\nnew\r\n\r\n<!--#endpattern -->\r\n"}, {"b.html", newdoc},
      {"p.txt", pattern}},
     {}, "would update b.html\n", 1},
    {"eol_unknown_style", {"--eol=dos", "a.html"}, simple, {}, "", 2, "--eol=dos: expected keep, lf or crlf"},

    // Files that are not regular files.
    {"directory_as_document", {"d", "a.html"}, {{"d/x", ""}, {"a.html", olddoc}}, {}, fileerror, 1,
     "d: Is a directory"},
    {"device_as_document", {"/dev/null"}, {}, {}, fileerror, 1, "/dev/null: not a regular file"},
    {"endless_device_as_document", {"/dev/zero"}, {}, {}, fileerror, 1, "/dev/zero: not a regular file"},
    {"full_device_as_document", {"/dev/full"}, {}, {}, fileerror, 1, "/dev/full: not a regular file"},
    {"devices_as_patterns", {"a.html"},
     {{"a.html", start("/dev/zero") + start("/dev/null") + start("/dev/full") + "old\n" + end}}, {}, "", 0,
     "a.html:1: cannot include \"/dev/zero\": not a regular file\n"
     "a.html:2: cannot include \"/dev/null\": not a regular file\n"
     "a.html:3: cannot include \"/dev/full\": not a regular file"},
    {"directory_as_pattern", {"a.html"}, {{"a.html", start("d") + "old\n" + end}, {"d/x", ""}}, {}, "", 0,
     "cannot include \"d\": Is a directory"},
};

// Keeps test names and failure messages readable.
void PrintTo(const blackboxcase& c, std::ostream* out) { *out << c.name; }

class blackbox : public testing::TestWithParam<blackboxcase> {};

// Cases that cannot exist on Windows, and why.
const std::map<std::string, std::string> notonwindows = {
    {"device_as_document", "no /dev"},
    {"endless_device_as_document", "no /dev"},
    {"full_device_as_document", "no /dev"},
    {"devices_as_patterns", "no /dev"},
    {"name_of_invalid_utf8", "file names are UTF-16 on Windows; these bytes name another file"},
    {"if_changed_sees_a_longer_old_text", "in text mode the text is unchanged, so the LF line ends stay"},
    {"eol_crlf_check", "--eol changes nothing on Windows, where every line end written is CR LF"},
};

TEST_P(blackbox, run) {
    const blackboxcase& c = GetParam();
    const bool windows = testingwindows();
    if (windows && notonwindows.count(c.name) != 0) GTEST_SKIP() << notonwindows.at(c.name);
    scratch dir;
    tree expected;
    for (const file& f : c.before) {
        dir.write(f.name, f.content);
        expected[f.name] = f.content;
    }
    for (const file& f : c.after) {
        if (f.content == gone)
            expected.erase(f.name);
        else
            expected[f.name] = windows ? windowstext(f.content) : f.content;
    }
    runresult result = runskelvane(dir, c.args);
    if (windows) result.err.erase(std::remove(result.err.begin(), result.err.end(), '\r'), result.err.end());
    const std::string expectedout = windows ? windowstext(c.out) : c.out;

    std::string command = "skelvane";
    for (const std::string& arg : c.args) command += " '" + arg + "'";
    SCOPED_TRACE(command + "\nstderr:\n" + result.err);
    EXPECT_EQ(result.out, expectedout);
    EXPECT_EQ(result.status, c.status);
    tree actual = dir.snapshot();
    // The Windows build rewrites a document whose text stays the same with
    // CR LF line ends.
    if (windows)
        for (auto& [name, content] : expected)
            if (actual.count(name) != 0 && actual[name] != content && actual[name] == windowstext(content))
                content = actual[name];
    EXPECT_EQ(actual, expected) << "files afterwards:\n" << describe(actual) << "expected:\n"
                                << describe(expected);
    if (c.err.empty()) {
        EXPECT_EQ(result.err, "");
    } else {
        std::istringstream lines(c.err);
        for (std::string line; std::getline(lines, line);)
            EXPECT_NE(result.err.find(line), std::string::npos) << "stderr lacks: " << line;
    }
}

// --check gives every case the verdict its run gets: 2 when the run fails,
// 1 when it succeeds and changes a file, 0 when it leaves every file as it
// was.
TEST_P(blackbox, check_agrees_with_the_run) {
    const blackboxcase& c = GetParam();
    for (const std::string& arg : c.args)
        if (arg == "--check" || arg == "--diff" || arg == "--stdout") GTEST_SKIP() << "a check already";
    if (testingwindows()) GTEST_SKIP() << "the run itself is checked above";
    bool changes = false;
    for (const file& f : c.after) {
        auto was = std::find_if(c.before.begin(), c.before.end(), [&](const file& b) { return b.name == f.name; });
        changes = changes || was == c.before.end() || was->content != f.content;
    }
    const int verdict = c.status != 0 ? 2 : changes ? 1 : 0;
    scratch dir;
    for (const file& f : c.before) dir.write(f.name, f.content);
    const tree before = dir.snapshot();
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--check");
    runresult result = runskelvane(dir, args);
    EXPECT_EQ(result.status, verdict) << result.err;
    EXPECT_EQ(dir.snapshot(), before);
}

// The Windows build only: text mode, 0x1A, wildcards, the read-only
// attribute.
struct windowscase {
    const char* name;
    std::vector<std::string> args;
    std::vector<file> before;
    std::vector<file> after;
    std::string out;  // with CR LF line ends, as the console gets it
    int status = 0;
};

const windowscase windowscases[] = {
    {"crlf_and_lone_lf_documents_get_crlf", {"a.html", "b.html"},
     {{"a.html", "<p>\r\n" + start("p.txt") + "old\r\n" + end}, {"b.html", "<p>\n" + start("p.txt") + end},
      {"p.txt", "one\r\ntwo\n"}},
     {{"a.html", "<p>\r\n<!--#pattern file=\"p.txt\" -->\r\none\r\ntwo\r\n\r\n<!--#endpattern -->\r\n"},
      {"b.html", "<p>\r\n<!--#pattern file=\"p.txt\" -->\r\none\r\ntwo\r\n\r\n<!--#endpattern -->\r\n"}},
     ""},
    {"byte_1a_does_not_end_a_file", {"a.html"},
     {{"a.html", "\x1a<p>\n" + start("p.txt") + end + "\x1atail\n"}, {"p.txt", "a\x1a\n"}},
     {{"a.html", "\x1a<p>\r\n<!--#pattern file=\"p.txt\" -->\r\na\x1a\r\n\r\n<!--#endpattern -->\r\n\x1atail\r\n"}},
     ""},
    {"wildcards_are_expanded", {"-v", "*.html"}, {{"a.html", olddoc}, {"b.html", olddoc}, {"p.txt", pattern}},
     {{"a.html", windowstext(newdoc)}, {"b.html", windowstext(newdoc)}},
     "Opening file a.html\r\nIncluding p.txt\r\nOpening file b.html\r\nIncluding p.txt\r\n"},
};

void PrintTo(const windowscase& c, std::ostream* out) { *out << c.name; }

class windowsonly : public testing::TestWithParam<windowscase> {};

TEST_P(windowsonly, run) {
    if (!testingwindows()) GTEST_SKIP() << "for the Windows build only";
    const windowscase& c = GetParam();
    scratch dir;
    tree expected;
    for (const file& f : c.before) dir.write(f.name, expected[f.name] = f.content);
    for (const file& f : c.after) expected[f.name] = f.content;
    runresult result = runskelvane(dir, c.args);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(dir.snapshot(), expected);
}

INSTANTIATE_TEST_SUITE_P(windows, windowsonly, testing::ValuesIn(windowscases),
                         [](const testing::TestParamInfo<windowscase>& info) { return std::string(info.param.name); });

// A document with the read-only attribute (which Wine gives a file
// without write permission) fails and stays as it is.
TEST(windowsonly, read_only_attribute) {
    if (!testingwindows()) GTEST_SKIP() << "for the Windows build only";
    scratch dir;
    dir.write("a.html", olddoc);
    dir.write("p.txt", pattern);
    fs::permissions(dir.path() / "a.html", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    runresult result = runskelvane(dir, {"a.html"});
    EXPECT_EQ(result.out, "File error.\r\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(dir.read("a.html"), olddoc);
    EXPECT_EQ(dir.read("skelvane.tmp"), windowstext(newdoc));
}

INSTANTIATE_TEST_SUITE_P(cases, blackbox, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<blackboxcase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace skelvane::test
