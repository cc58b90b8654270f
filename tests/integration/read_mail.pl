#!/usr/bin/perl
# Reads one stored mail with Perl's MIME::Tools (Debian's libmime-tools-perl, with Mail::Address
# of MailTools and the stock Encode codecs) and prints what a reader built on them shows, as
# JSON: subject, sender name and address, body, body charset, and the attachments' names and
# digests. Usage: read_mail.pl MESSAGE.eml
#
# A second reader that nobody on the project wrote: where Encode reads bytes differently from
# Python (other kanji for the NEC and IBM rows of Windows), the comparison with what was typed
# fails here too.
use strict;
use warnings;

use Digest::SHA qw(sha256_hex);
use Encode ();
use JSON::PP ();
use MIME::Parser;
use MIME::WordDecoder qw(mime_to_perl_string);
use Mail::Address;

my $parser = MIME::Parser->new;
$parser->output_to_core(1);
$parser->decode_headers(0);
my $entity = $parser->parse_open($ARGV[0]) or die "cannot parse $ARGV[0]\n";
my $head = $entity->head;
$head->unfold;

sub header {
    my ($name) = @_;
    my $value = $head->get($name);
    return '' unless defined $value;
    $value =~ s/\r?\n\z//;
    $value =~ s/^\s+//;
    return $value;
}

# The display name of From: the phrase as Mail::Address finds it, a quoted string taken as its
# content (RFC 5322), then the encoded words decoded.
my ($from) = Mail::Address->parse(header('From'));
my $phrase = defined $from ? ($from->phrase // '') : '';
if ($phrase =~ /\A"(.*)"\z/s) {
    ($phrase = $1) =~ s/\\(.)/$1/gs;
}

my %result = (
    subject      => mime_to_perl_string(header('Subject')),
    from_name    => mime_to_perl_string($phrase),
    from_address => defined $from ? $from->address : '',
    body         => undef,
    attachments  => [],
);

sub text_of {
    my ($part) = @_;
    my $bytes = $part->bodyhandle ? $part->bodyhandle->as_string : '';
    my $charset = $part->head->mime_attr('content-type.charset') || 'us-ascii';
    return (Encode::decode($charset, $bytes), lc $charset);
}

for my $part ($entity->parts_DFS) {
    next if $part->parts;
    my $disposition = lc($part->head->mime_attr('content-disposition') // '');
    if (!defined $result{body} && $disposition ne 'attachment') {
        ($result{body}, $result{body_charset}) = text_of($part);
        next;
    }
    my $bytes = $part->bodyhandle->as_string;
    my $name = $part->head->mime_attr('content-type.name');
    push @{ $result{attachments} }, {
        filename => $part->head->recommended_filename,
        name     => defined $name ? mime_to_perl_string($name) : undef,
        sha256   => sha256_hex($bytes),
        size     => length $bytes,
    };
}

binmode STDOUT;
print JSON::PP->new->utf8->canonical->pretty->encode(\%result);
