// The MES procedures through tedious: node tedious_client.js HOST PORT USER PASSWORD DATABASE SERIAL [tls]
// Prints one JSON object: what each step returned.
'use strict';
const { Connection, Request, TYPES } = require('tedious');
const [host, port, userName, password, database, serial, mode] = process.argv.slice(2);

function connect() {
  return new Promise((resolve, reject) => {
    const conn = new Connection({
      server: host,
      authentication: { type: 'default', options: { userName, password } },
      options: { port: Number(port), database, encrypt: mode === 'tls', trustServerCertificate: true },
    });
    conn.on('connect', (err) => (err ? reject(err) : resolve(conn)));
    conn.connect();
  });
}

// Run a request; resolves to its rows, output parameters and return status.
function run(conn, how, sql, params = []) {
  return new Promise((resolve) => {
    const rows = [], output = {};
    let status;
    const req = new Request(sql, (err) => resolve(err ? { error: err.number || err.message } : { rows, output, status }));
    for (const [name, type, value, out] of params) {
      if (out) req.addOutputParameter(name, type, value);
      else req.addParameter(name, type, value);
    }
    req.on('row', (columns) => rows.push(columns.map((c) => c.value)));
    req.on('returnValue', (name, value) => { output[name] = value; });
    req.on('returnStatus', (value) => { status = value; });
    conn[how](req);
  });
}

// A transaction manager request; name: the transaction's name, sent with its length in bytes.
function tran(conn, what, name) {
  return new Promise((resolve, reject) => conn[what]((err) => (err ? reject(err) : resolve()), name));
}

const station = (result) => [
  ['SerialNumber', TYPES.NVarChar, serial], ['Procedure', TYPES.VarChar, 'FT1'],
  ['Employee', TYPES.NVarChar, '张三'], ['LineName', TYPES.VarChar, 'L1'],
].concat(result ? [['Result', TYPES.VarChar, result], ['ErrorNo', TYPES.Int, 0],
  ['Msg', TYPES.NVarChar, null, true]] : [['OutPutxmls', TYPES.NVarChar, null, true]])
  .concat([['RETURN', TYPES.Int, null, true]]);

(async () => {
  const conn = await connect();
  const out = {};
  out.batch = await run(conn, 'execSqlBatch', 'SELECT 1 AS one; SELECT @@SPID');
  out.version = await run(conn, 'execSql', 'select @@version');
  out.query = await run(conn, 'execSql',
    'exec dbo.uspGetUnitInfo @sn, @p, @e, @l, @text OUTPUT, @code OUTPUT', [
      ['sn', TYPES.NVarChar, serial], ['p', TYPES.VarChar, 'FT1'], ['e', TYPES.VarChar, '张三'],
      ['l', TYPES.VarChar, 'L1'], ['text', TYPES.NVarChar, null, true], ['code', TYPES.Int, null, true]]);
  out.unitInfo = await run(conn, 'callProcedure', 'dbo.uspGetUnitInfo', station());
  await tran(conn, 'beginTransaction', '重测');
  out.failRolledBack = await run(conn, 'callProcedure', 'dbo.uspSaveResult', station('FAIL'));
  out.heldInTran = await run(conn, 'execSql', "UPDATE dbo.units SET status = N'HOLD' WHERE serial = @sn; "
    + 'SELECT status, @@TRANCOUNT FROM dbo.units WHERE serial = @sn', [['sn', TYPES.NVarChar, serial]]);
  await tran(conn, 'rollbackTransaction', '重测');
  await tran(conn, 'beginTransaction', 'save_pass');
  await tran(conn, 'saveTransaction', 'retest');  // a FAIL undone by rolling back to it
  out.failUndone = await run(conn, 'callProcedure', 'dbo.uspSaveResult', station('FAIL'));
  await tran(conn, 'rollbackTransaction', 'retest');
  out.save = await run(conn, 'callProcedure', 'dbo.uspSaveResult', station('PASS'));
  await tran(conn, 'saveTransaction', 'after_pass');  // the PASS before it stays
  await run(conn, 'execSql', "UPDATE dbo.units SET status = N'HOLD' WHERE serial = @sn",
    [['sn', TYPES.NVarChar, serial]]);
  await tran(conn, 'rollbackTransaction', 'after_pass');
  out.savepoints = await run(conn, 'execSql', 'SELECT @@TRANCOUNT, status, failures FROM dbo.units '
    + 'WHERE serial = @sn', [['sn', TYPES.NVarChar, serial]]);
  out.unknownSavepoint = await tran(conn, 'rollbackTransaction', 'nope').then(() => 'none', (err) => err.number);
  await tran(conn, 'commitTransaction', 'save_pass');
  out.unknown = await run(conn, 'callProcedure', 'dbo.uspNope');
  const prepared = new Request('select @n as n', () => {});
  prepared.addParameter('n', TYPES.Int);
  await new Promise((resolve) => { prepared.on('prepared', resolve); conn.prepare(prepared); });
  out.prepared = await new Promise((resolve) => {
    const rows = [];
    prepared.on('row', (columns) => rows.push(columns[0].value));
    prepared.on('requestCompleted', () => resolve(rows));
    conn.execute(prepared, { n: 7 });
  });
  out.cancelled = await new Promise((resolve) => {  // ATTENTION stops a loop that never ends
    const req = new Request('DECLARE @i int = 0; WHILE 1 = 1 SET @i += 1', (err) => resolve(err ? err.code : 'finished'));
    req.on('row', () => {});
    conn.execSql(req);
    setTimeout(() => conn.cancel(), 300);
  });
  out.afterCancel = await run(conn, 'execSqlBatch', 'SELECT 5');
  out.badSql = await run(conn, 'execSql', 'SELECT * FROM dbo.nosuch WHERE serial = @sn', [['sn', TYPES.NVarChar, serial]]);
  out.after = await run(conn, 'execSqlBatch', 'SELECT @@TRANCOUNT');
  out.types = await run(conn, 'execSql', 'select @s, @d, @f, @b, @t, @n, @g', [
    ['s', TYPES.NVarChar, '长'.repeat(5000)], ['d', TYPES.Decimal, 12.34, false],
    ['f', TYPES.Float, 1.5], ['b', TYPES.Bit, true], ['t', TYPES.DateTime, new Date(Date.UTC(2024, 0, 2, 3, 4, 5))],
    ['n', TYPES.Int, null], ['g', TYPES.BigInt, '9007199254740993']]);
  if (out.types.rows) out.types.rows = out.types.rows.map((r) => r.map((v) => (v instanceof Date ? v.toISOString() : v)));
  conn.close();
  console.log(JSON.stringify(out));
})().catch((err) => { console.log(JSON.stringify({ failed: String(err && (err.stack || err)) })); });
