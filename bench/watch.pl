#!/usr/bin/perl
# Watches a file grow: every half millisecond it looks at the file's size and
# prints "<seconds> <size>" whenever the size has changed, so that the time at
# which any byte of the file appeared can be read back afterwards
# (bench/figures.pl).  Runs until it is sent SIGTERM, or for at most
# <limit> seconds.
#
# Usage: watch.pl <file> <samples file> <limit seconds>
use strict;
use warnings;
use Time::HiRes qw(time usleep);

my ($file, $out, $limit) = @ARGV;
die "usage: watch.pl <file> <samples file> <limit seconds>\n" unless defined $limit;
open(my $fh, '>', $out) or die "watch.pl: $out: $!\n";
my $stop = 0;
$SIG{TERM} = sub { $stop = 1 };
my $start = time;
my $last = -1;
while (!$stop && time - $start < $limit) {
    my $size = -s $file;
    $size = 0 unless defined $size;
    if ($size != $last) {
        printf $fh "%.6f %d\n", time, $size;
        $last = $size;
    }
    usleep(500);
}
close $fh;
