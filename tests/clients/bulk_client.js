// Bulk load and the date and time types through tedious and mssql:
// node bulk_client.js HOST PORT USER PASSWORD DATABASE SERIAL
// Loads units SERIAL-T1, SERIAL-T2 (tedious newBulkLoad) and SERIAL-M1 (mssql request.bulk),
// a result row of SERIAL-T1, and reads date and time values. Prints one JSON object.
'use strict';
const { Connection, Request, TYPES } = require('tedious');
const sql = require('mssql');
const [host, port, userName, password, database, serial] = process.argv.slice(2);

function connect() {
  return new Promise((resolve, reject) => {
    const conn = new Connection({
      server: host,
      authentication: { type: 'default', options: { userName, password } },
      options: { port: Number(port), database, encrypt: false, trustServerCertificate: true },
    });
    conn.on('connect', (err) => (err ? reject(err) : resolve(conn)));
    conn.connect();
  });
}

function bulk(conn, table, columns, rows) {
  return new Promise((resolve) => {
    const load = conn.newBulkLoad(table, (err, rowCount) => resolve(err ? { error: err.number || err.message } : { rowCount }));
    for (const [name, type, options] of columns) load.addColumn(name, type, options);
    conn.execBulkLoad(load, rows);
  });
}

function run(conn, text, params = []) {
  return new Promise((resolve) => {
    const rows = [];
    const req = new Request(text, (err) => resolve(err ? { error: err.number || err.message } : { rows }));
    for (const [name, type, value, options] of params) req.addParameter(name, type, value, options);
    req.on('row', (columns) => rows.push(columns.map((c) => (c.value instanceof Date ? c.value.toISOString() : c.value))));
    conn.execSql(req);
  });
}

const unitColumns = [
  ['serial', TYPES.NVarChar, { length: 50, nullable: false }], ['product', TYPES.NVarChar, { length: 50 }],
  ['route', TYPES.NVarChar, { length: 200 }], ['step', TYPES.Int, { nullable: false }],
  ['status', TYPES.NVarChar, { length: 10 }], ['failures', TYPES.Int, {}]];

(async () => {
  const conn = await connect();
  const out = {};
  out.units = await bulk(conn, 'dbo.units', unitColumns, [
    [serial + '-T1', 'M4R-100', 'FT1,FT2,PACK', 1, 'ACTIVE', 0],
    { serial: serial + '-T2', product: 'M4R-200', route: 'FT1,PACK', step: 0, status: 'HOLD', failures: 2 }]);
  out.duplicate = await bulk(conn, 'dbo.units', unitColumns, [[serial + '-T1', 'X', 'FT1', 0, 'ACTIVE', 0]]);
  out.results = await bulk(conn, 'dbo.results', [
    ['serial', TYPES.NVarChar, { length: 50 }], ['procedure', TYPES.NVarChar, { length: 50 }],
    ['employee', TYPES.NVarChar, { length: 50 }], ['line', TYPES.NVarChar, { length: 50 }],
    ['verdict', TYPES.NVarChar, { length: 10 }], ['error_no', TYPES.NVarChar, { length: 50, nullable: true }],
    ['tested_at', TYPES.DateTime2, { scale: 0 }]],
  [[serial + '-T1', 'FT1', '张三', '一线', 'PASS', null, new Date(Date.UTC(2024, 4, 1, 8, 0, 0))]]);
  out.dates = await run(conn, "SELECT CAST('2024-05-01' AS date), CAST('2024-05-01 08:00:00.123' AS datetime2(3)), "
    + "CAST('2024-05-01 08:00:00 +08:00' AS datetimeoffset(0)), CAST(1234567.5 AS decimal(38, 1))");
  out.params = await run(conn, 'SELECT @d, @t, @o', [
    ['d', TYPES.Date, new Date(Date.UTC(2024, 4, 1))],
    ['t', TYPES.DateTime2, new Date(Date.UTC(2024, 4, 1, 8, 0, 0, 250)), { scale: 3 }],
    ['o', TYPES.DateTimeOffset, new Date(Date.UTC(2024, 4, 1, 0, 0, 0)), { scale: 0 }]]);
  conn.close();

  const pool = await new sql.ConnectionPool({
    server: host, port: Number(port), user: userName, password, database,
    options: { encrypt: false, trustServerCertificate: true },
  }).connect();
  const table = new sql.Table('dbo.units');
  table.create = false;
  table.columns.add('serial', sql.NVarChar(50), { nullable: false });
  table.columns.add('product', sql.NVarChar(50), { nullable: false });
  table.columns.add('route', sql.NVarChar(200), { nullable: false });
  table.columns.add('step', sql.Int, { nullable: false });
  table.rows.add(serial + '-M1', 'M4R-100', 'FT1,PACK', 1);
  try {
    out.mssql = (await pool.request().bulk(table)).rowsAffected;
  } catch (err) {
    out.mssql = { error: err.number || err.message };
  }
  await pool.close();
  console.log(JSON.stringify(out));
})().catch((err) => { console.log(JSON.stringify({ failed: String(err && (err.stack || err)) })); });
