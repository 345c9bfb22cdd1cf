<?php
// PHP's PDO with the dblib driver (FreeTDS's db-lib), on its default settings: reads and
// writes the MES tables and runs the unit query. Prints one JSON object; "failed" names what
// failed.
// usage: php pdo_dblib_client.php HOST PORT USER PASSWORD DATABASE SERIAL
[, $host, $port, $user, $password, $database, $serial] = $argv;
$out = [];
$step = 'connect';
try {
    $db = new PDO("dblib:host=$host:$port;dbname=$database;charset=UTF-8", $user, $password,
                  [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION]);
    $step = 'insert';
    $insert = $db->prepare('INSERT INTO dbo.units (serial, product, route) VALUES (?, ?, ?)');
    $insert->execute([$serial, 'M4R-300', 'FT1,PACK']);
    $out['inserted'] = $insert->rowCount();
    $step = 'select';
    $select = $db->prepare('SELECT TOP 1 serial, route, step, status FROM dbo.units WHERE serial = :sn');
    $select->execute(['sn' => $serial]);
    $out['unit'] = $select->fetchAll(PDO::FETCH_NUM);
    $step = 'rollback';
    $db->beginTransaction();
    $db->exec("UPDATE dbo.units SET status = 'HOLD' WHERE serial = " . $db->quote($serial));
    $db->rollBack();
    $out['status'] = $db->query('SELECT status FROM dbo.units WHERE serial = ' . $db->quote($serial))
        ->fetchColumn();
    $step = 'query';
    $query = $db->query("DECLARE @m nvarchar(4000), @r int; EXEC dbo.uspGetUnitInfo "
        . $db->quote($serial) . ", 'FT1', N'张三', 'L1', @m OUTPUT, @r OUTPUT; SELECT @m AS m, @r AS r");
    while ($query->columnCount() === 0 && $query->nextRowset()) {
        // the EXEC's own result (no columns) comes first
    }
    $out['query'] = $query->fetchAll(PDO::FETCH_NUM);
    $step = 'count';
    $out['count'] = $db->query('SELECT COUNT(*) FROM dbo.results WHERE serial = ' . $db->quote($serial))
        ->fetchColumn();
    $step = 'nosuch';
    try {
        $db->query('SELECT * FROM dbo.nosuch');
    } catch (PDOException $e) {
        $out['nosuch'] = explode(' [', $e->errorInfo[2])[0];  // the server's message
    }
    $step = 'delete';
    $out['deleted'] = $db->exec('DELETE FROM dbo.units WHERE serial = ' . $db->quote($serial));
} catch (Throwable $e) {
    $out['failed'] = "$step: " . $e->getMessage();
}
echo json_encode($out, JSON_UNESCAPED_UNICODE), "\n";
