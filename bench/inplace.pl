#!/usr/bin/perl
# The benchmark's plain in-place script: replaces each region of each named
# document with its pattern file's text and writes the document over in
# place, without a staging file and without waiting for the disk. A kill
# or a full disk part way leaves a document cut short: it is here only to
# compare with.
use strict;
use warnings;

my %patterns;
sub pattern {
    my ($name) = @_;
    return $patterns{$name} //= do {
        open(my $in, '<:raw', $name) or die "$name: $!\n";
        local $/;
        my $text = <$in>;
        $text;
    };
}

for my $document (@ARGV) {
    open(my $in, '<:raw', $document) or die "$document: $!\n";
    my $text = do { local $/; <$in> };
    close($in);
    $text =~ s{^([ \t]*<!--#pattern[^\n]*?file="([^"]*)"[^\n]*\n).*?^([ \t]*<!--#endpattern)}
              {$1 . pattern($2) . "\n" . $3}gsmie;
    open(my $out, '>:raw', $document) or die "$document: $!\n";
    print $out $text or die "$document: $!\n";
    close($out) or die "$document: $!\n";
}
