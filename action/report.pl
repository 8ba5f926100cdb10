#!/usr/bin/perl
# report.pl LIST OUT ERR PREFIX SUMMARY FIX REFUSED: what check.sh tells of one run of
# skelvane --diff -v over the pages in LIST (NUL-ended names, in the order
# the run took them), whose standard output is in OUT and standard error in
# ERR. Each page's output begins with a line that holds its name as given
# ("would update NAME", "Opening file NAME"); the names are known and come
# in order, so each page's part is found exactly, whatever its name holds.
# Prints the log (each page's diff and reasons, with workflow commands in
# them not acted upon), then an ::error annotation for each stale page and
# each page that could not be checked (PREFIX: the working folder from the
# top of the repository); appends their lists to SUMMARY, and the command
# FIX when every page listed is stale, so that a run brings them up to date.
# REFUSED: NUL-ended names of pages that were not checked (links out of the
# work tree). A warning leaves its page checked: only failures do not.
use strict;
use warnings;

my ($listfile, $outfile, $errfile, $prefix, $summaryfile, $fix, $refusedfile) = @ARGV;
sub slurp {
    open(my $in, '<:raw', $_[0]) or die "$_[0]: $!\n";
    local $/;
    my $text = <$in>;
    return defined $text ? $text : '';
}
my @pages = grep { length } split /\0/, slurp($listfile);
my @refused = defined $refusedfile ? grep { length } split /\0/, slurp($refusedfile) : ();
my ($out, $err) = (slurp($outfile), slurp($errfile));

# Whether TEXT is valid UTF-8.
sub utf8ok {
    my $text = shift;
    return utf8::decode($text);
}
# NAME as the --diff headers write it (BLANKS 1) or as messages do (0);
# quoted with escapes too when it is not UTF-8, so that it is one literal.
sub cquote {
    my ($name, $blanks) = @_;
    return $name unless $name =~ /[\x00-\x1f\x7f]/ || ($blanks && $name =~ /[ "\\]/) || !utf8ok($name);
    $name =~ s/([\\"])/\\$1/g;
    $name =~ s/\t/\\t/g;
    $name =~ s/\n/\\n/g;
    $name =~ s/([\x00-\x1f\x7f-\xff])/sprintf('\\%03o', ord $1)/ge;
    return "\"$name\"";
}
# A name as skelvane's report and progress lines show it: quoted when it
# holds a control byte.
sub shown {
    my $name = shift;
    return $name =~ /[\x00-\x1f\x7f]/ ? cquote($name, 0) : $name;
}
# TEXT with each byte that is not part of UTF-8 written \ooo.
sub utf8only {
    my $text = shift;
    $text =~ s/([\xC2-\xDF][\x80-\xBF]|[\xE0-\xEF][\x80-\xBF]{2}|[\xF0-\xF4][\x80-\xBF]{3})|([\x80-\xFF])/
        defined $1 ? $1 : sprintf('\\%03o', ord $2)/ge;
    return $text;
}
# TEXT as one Markdown code span: a fence longer than any run of backticks
# in it, and no line end, so nothing in it is read as Markdown.
sub span {
    my $text = utf8only(shift);
    $text =~ s/[\x00-\x1f\x7f]/?/g;
    my $fence = '`';
    $fence .= '`' while index($text, $fence) >= 0;
    $text = " $text " if $text =~ /^`|`$/;
    return "$fence$text$fence";
}
# The escapes of workflow commands: a message, and a property's value.
sub data {
    my $text = utf8only(shift);
    $text =~ s/%/%25/g;
    $text =~ s/\r/%0D/g;
    $text =~ s/\n/%0A/g;
    return $text;
}
sub property {
    my $text = data(shift);
    $text =~ s/:/%3A/g;
    $text =~ s/,/%2C/g;
    return $text;
}
# The next line at or after AT that begins with TEXT, or the end.
sub findline {
    my ($text, $begins, $at) = @_;
    for (my $found = index($text, $begins, $at); $found >= 0; $found = index($text, $begins, $found + 1)) {
        return $found if $found == 0 || substr($text, $found - 1, 1) eq "\n";
    }
    return length $text;
}

my $token = join '', map { sprintf '%02x', int rand 256 } 1 .. 16;
print "::stop-commands::${token}\n";
my ($o, $e) = (0, 0);
my (@stale, @unchecked, @annotations);
# The file= of an annotation for NAME, or nothing when NAME cannot be given
# there as it is (a byte the runner would not keep).
sub fileproperty {
    my $name = $prefix . shift;
    return '' if $name =~ /[\x00-\x09\x0b\x0c\x0e-\x1f\x7f]/ || !utf8ok($name);
    return 'file=' . property($name) . ',';
}
# Warnings (of the run, or of a page): in the log and as annotations, on
# the page only when they are about it (NAME: or NAME:LINE:), not about a
# folder or a pattern met on its way.
sub warnings {
    my ($text, $page) = @_;
    for my $line (split /\n/, $text) {
        print "$line\n";
        next unless $line =~ /^skelvane: warning: (.*)/;
        my $said = $1;
        my $about = defined $page && grep { index($said, "$_:") == 0 } $page, cquote($page, 0);
        push @annotations, '::warning ' . ($about ? fileproperty($page) : '') . 'title=skelvane::' . data($said);
    }
}
for my $page (@refused) {
    my $name = cquote($page, 1);
    my $reason = 'a link to a file outside the work tree: not checked';
    push @unchecked, '- ' . span($name) . ': ' . span($reason);
    push @annotations, '::error ' . fileproperty($page) . 'title=skelvane::' . data("$name: $reason");
}
for my $i (0 .. $#pages) {
    my $page = $pages[$i];
    # Its part of stderr: from its "Opening file" line to the next page's;
    # what comes before the first is the run's own (warnings).
    my $opening = 'Opening file ' . shown($page) . "\n";
    my $at = findline($err, $opening, $e);
    my $ended = $at >= length $err;
    warnings(substr($err, $e, $at - $e)) if $at > $e;
    $e = $at;
    my $errpart = '';
    unless ($ended) {
        $e += length $opening;
        my $end = $i < $#pages ? findline($err, 'Opening file ' . shown($pages[$i + 1]) . "\n", $e) : length $err;
        $errpart = substr($err, $e, $end - $e);
        $e = $end;
    }
    # Its part of stdout, when it is stale: to the next "would update".
    my $update = 'would update ' . shown($page) . "\n";
    my $diff;
    if (substr($out, $o, length $update) eq $update) {
        my $end = findline($out, 'would update ', $o + length $update);
        $diff = substr($out, $o + length $update, $end - $o - length $update);
        print $update, $diff;
        $o = $end;
    }
    my @reasons = map { s/^skelvane: //r } grep { /^skelvane: / && !/^skelvane: warning: / } split /\n/, $errpart;
    print "skelvane: $_\n" for @reasons;
    my $name = cquote($page, 1);
    my $file = fileproperty($page);
    warnings(join("\n", grep { /^skelvane: warning: / } split /\n/, $errpart), $page);
    if ($ended || @reasons || $errpart =~ /^File error\.$/m) {
        @reasons = ('skelvane ended before this page') if $ended;
        @reasons = ('could not be checked') unless @reasons;
        my $reason = join '; ', @reasons;
        # NAME:LINE: begins a reason when the line is known; quoted
        # together when the name holds a control byte.
        my $quoted = cquote($page, 0);
        my $line = $quoted =~ /^"/
            ? ($reasons[0] =~ /^\Q${\ substr($quoted, 0, -1)}\E:(\d+)":/)[0]
            : ($reasons[0] =~ /^\Q$quoted\E:(\d+):/)[0];
        push @unchecked, '- ' . span($name) . ': ' . span($reason);
        push @annotations, "::error $file" . (defined $line && $file ? "line=$line," : '') .
            'title=skelvane::' . data("$name could not be checked: $reason");
    } elsif (defined $diff) {
        # The line of the first change, on the side of the page as it is.
        my $line = 1;
        if ($diff =~ /^@@ -(\d+)/m) {
            $line = $1 || 1;
            my $hunk = substr($diff, $-[0]);
            for my $text ((split /\n/, $hunk)[1 .. 1000]) {
                last if !defined $text || $text =~ /^[-+]/;
                $line++;
            }
        }
        push @stale, '- ' . span($name);
        push @annotations, "::error $file" . ($file ? "line=$line," : '') . "title=skelvane::" .
            data("stale: a run of skelvane would change $name");
    }
}
print "::${token}::\n";
print "$_\n" for @annotations;

open(my $summary, '>>:raw', $summaryfile) or die "$summaryfile: $!\n";
printf $summary "### skelvane: %d stale, %d could not be checked\n\n", scalar @stale, scalar @unchecked;
if (@stale) {
    print $summary "Stale pages (their diff is in the log):\n\n", map({ "$_\n" } @stale), "\n";
}
if (@unchecked) {
    print $summary "Pages that could not be checked, and why:\n\n", map({ "$_\n" } @unchecked), "\n";
}
if (@stale && !@unchecked) {
    my $fence = '```';
    $fence .= '`' while index($fix, $fence) >= 0;
    print $summary "Bring them up to date with:\n\n${fence}sh\n$fix\n$fence\n";
}
close $summary or die "$summaryfile: $!\n";
