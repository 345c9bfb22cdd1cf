# Perl's DBI with DBD::Sybase (on FreeTDS's ct-lib), on its default settings: reads and writes
# the MES tables and runs the unit query. Prints one JSON object; "failed" names what failed.
# usage: perl dbd_sybase_client.pl HOST PORT USER PASSWORD DATABASE SERIAL
use strict;
use warnings;
use DBI;
use JSON::PP;

my ($host, $port, $user, $password, $database, $serial) = @ARGV;
my %out;
my $db = DBI->connect("dbi:Sybase:host=$host;port=$port;database=$database;charset=utf8",
                      $user, $password, {RaiseError => 1, PrintError => 0});
my $step = '';
eval {
    $step = 'insert';
    $out{inserted} = $db->do('INSERT INTO dbo.units (serial, product, route) VALUES (?, ?, ?)',
                             undef, $serial, 'M4R-300', 'FT1,PACK') + 0;
    $step = 'select';
    $out{unit} = $db->selectall_arrayref(
        'SELECT serial, route, step, status FROM dbo.units WHERE serial = ?', undef, $serial);
    $step = 'rollback';  # (DBI's begin_work/rollback end with a COMMIT SQL Server refuses)
    $db->do('BEGIN TRAN');
    $db->do("UPDATE dbo.units SET status = 'HOLD' WHERE serial = ?", undef, $serial);
    $db->do('ROLLBACK TRAN');
    ($out{status}) = $db->selectrow_array('SELECT status FROM dbo.units WHERE serial = ?', undef,
                                          $serial);
    $step = 'query';
    my $sth = $db->prepare("DECLARE \@m nvarchar(4000), \@r int; "
        . "EXEC dbo.uspGetUnitInfo ?, 'FT1', N'张三', 'L1', \@m OUTPUT, \@r OUTPUT; SELECT \@m, \@r");
    $sth->execute($serial);
    $out{query} = $sth->fetchall_arrayref;
    $step = 'catalog';
    # table types are quoted, as SQL Server's sp_tables looks for them
    $out{tables} = [map { $_->[2] } @{$db->table_info(undef, 'dbo', undef, "'TABLE'")->fetchall_arrayref}];
    $out{key} = [$db->primary_key(undef, 'dbo', 'results')];
    $step = 'nosuch';
    eval { $db->do('SELECT * FROM dbo.nosuch') };
    $out{nosuch} = $db->err;
    $step = 'delete';
    $out{deleted} = $db->do('DELETE FROM dbo.units WHERE serial = ?', undef, $serial) + 0;
    1;
} or $out{failed} = "$step: $@";
$db->disconnect;
binmode STDOUT;
print JSON::PP->new->canonical->encode(\%out), "\n";
