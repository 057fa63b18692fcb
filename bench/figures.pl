#!/usr/bin/perl
# Reads figures out of a file that bench/watch.pl watched grow.
#
#   figures.pl volume <samples> <file> <bytes> [<reference file>]
#       The container's volume is what lies between its start marker (BS) and
#       its "ending by itself" line.  Checks that it is exactly <bytes> long
#       and, with a reference file, byte for byte the volume of the reference
#       run.  The wrapper's own flusher line may fall between two chunks of the
#       volume; it is taken out first.  Prints "bytes=N seconds=S" (from the
#       appearance of the volume's first byte to that of its last) or
#       "error=<reason>"; exits 1 when the volume is wrong and 2 when it is
#       right but its arrival was not seen.
#   figures.pl restarts <samples> <file>
#       For each restart marker (BEL 14 BEL) in the file, the time from its
#       appearance to that of the next start marker (BS): one "restart ms=T"
#       line each.
use strict;
use warnings;

my $FLUSHER_LINE = "NT Service starting input flusher thread\r\n";
# bench/run.sh names the container "bench" in every boot file.
my $END_LINE = "bench container: ending by itself\r\n";

sub read_samples {
    my ($path) = @_;
    open(my $fh, '<', $path) or die "figures.pl: $path: $!\n";
    my @samples;
    while (<$fh>) {
        my ($t, $size) = split;
        push @samples, [$t, $size];
    }
    return \@samples;
}

# The time at which the byte at `offset` had appeared: the first sample in
# which the file was longer than that.
sub time_of_byte {
    my ($samples, $offset) = @_;
    for my $s (@$samples) {
        return $s->[0] if $s->[1] > $offset;
    }
    return undef;
}

sub slurp {
    my ($path) = @_;
    open(my $fh, '<:raw', $path) or die "figures.pl: $path: $!\n";
    local $/;
    my $data = <$fh>;
    return defined $data ? $data : '';
}

# (first offset, offset after the last byte, bytes) of the volume, or an error
# text.
sub volume {
    my ($data) = @_;
    my $bs = index($data, "\b");
    return (undef, undef, undef, 'no start marker') if $bs < 0;
    my $end = index($data, $END_LINE, $bs);
    return (undef, undef, undef, 'no "ending by itself" line') if $end < 0;
    my $bytes = substr($data, $bs + 1, $end - $bs - 1);
    my $i = index($bytes, $FLUSHER_LINE);
    substr($bytes, $i, length $FLUSHER_LINE) = '' if $i >= 0;
    return ($bs + 1, $end, $bytes, undef);
}

my $mode = shift @ARGV // '';
if ($mode eq 'volume') {
    my ($samples_path, $path, $expected, $reference) = @ARGV;
    my ($first, $end, $bytes, $error) = volume(slurp($path));
    if (!defined $error && length($bytes) != $expected) {
        $error = sprintf('the volume is %d bytes, expected %d', length($bytes), $expected);
    }
    if (!defined $error && defined $reference) {
        my (undef, undef, $ref_bytes, $ref_error) = volume(slurp($reference));
        if (defined $ref_error) {
            $error = "reference: $ref_error";
        } elsif ($bytes ne $ref_bytes) {
            my $i = 0;
            $i++ while $i < length($bytes) && substr($bytes, $i, 1) eq substr($ref_bytes, $i, 1);
            $error = "the volume differs from the reference's from byte $i on";
        }
    }
    if (defined $error) {
        print "error=$error\n";
        exit 1;
    }
    my $samples = read_samples($samples_path);
    my $t0 = time_of_byte($samples, $first);
    my $t1 = time_of_byte($samples, $end - 1);
    if (!defined $t0 || !defined $t1 || $t1 <= $t0) {
        print "error=the watch did not see the volume arrive\n";
        exit 2;
    }
    printf "bytes=%d seconds=%.6f\n", length($bytes), $t1 - $t0;
    exit 0;
}
if ($mode eq 'restarts') {
    my ($samples_path, $path) = @ARGV;
    my $data = slurp($path);
    my $samples = read_samples($samples_path);
    my $from = 0;
    while ((my $marker = index($data, "\a14\a", $from)) >= 0) {
        my $next = index($data, "\b", $marker);
        last if $next < 0;
        my $t0 = time_of_byte($samples, $marker + 3);
        my $t1 = time_of_byte($samples, $next);
        printf "restart ms=%.1f\n", 1000 * ($t1 - $t0) if defined $t0 && defined $t1;
        $from = $next;
    }
    exit 0;
}
die "usage: figures.pl volume <samples> <file> <bytes> [<reference file>]\n" .
    "       figures.pl restarts <samples> <file>\n";
