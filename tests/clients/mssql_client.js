// The MES procedures through mssql and its default pool:
// node mssql_client.js HOST PORT USER PASSWORD DATABASE SERIAL [tls]
// Prints one JSON object: what each step returned.
'use strict';
const sql = require('mssql');
const [server, port, user, password, database, serial, mode] = process.argv.slice(2);

async function step(fn) {
  try {
    const r = await fn();
    return { recordsets: r.recordsets, output: r.output, returnValue: r.returnValue };
  } catch (err) {
    return { error: err.number || String(err) };
  }
}

(async () => {
  const pool = await sql.connect({
    server, port: Number(port), user, password, database,
    options: { encrypt: mode === 'tls', trustServerCertificate: true },
  });
  const out = {};
  out.select = await step(() => pool.request().query('select 1 as one'));
  out.query = await step(() => pool.request()
    .input('sn', sql.NVarChar, serial).input('p', sql.VarChar, 'FT1')
    .input('e', sql.NVarChar, '张三').input('l', sql.VarChar(50), 'L1')
    .output('text', sql.NVarChar(4000)).output('code', sql.Int)
    .query('exec dbo.uspGetUnitInfo @sn, @p, @e, @l, @text OUTPUT, @code OUTPUT'));
  const save = (req, verdict) => req
    .input('SerialNumber', sql.NVarChar, serial).input('Procedure', sql.VarChar, 'FT1')
    .input('Employee', sql.NVarChar, '张三').input('LineName', sql.VarChar, 'L1')
    .input('Result', sql.VarChar, verdict).input('ErrorNo', sql.Int, 0)
    .output('Msg', sql.NVarChar(500)).output('RETURN', sql.Int)
    .execute('dbo.uspSaveResult');
  const tx = new sql.Transaction(pool);
  await tx.begin();
  out.failRolledBack = await step(() => save(new sql.Request(tx), 'FAIL'));
  await tx.rollback();
  out.save = await step(() => save(pool.request(), 'PASS'));
  out.unitInfo = await step(() => pool.request()
    .input('SerialNumber', sql.NVarChar, serial).input('Procedure', sql.VarChar, 'FT2')
    .input('Employee', sql.NVarChar, '张三').input('LineName', sql.VarChar, 'L1')
    .output('OutPutxmls', sql.NVarChar(4000)).output('RETURN', sql.Int)
    .execute('dbo.uspGetUnitInfo'));
  out.unknown = await step(() => pool.request().execute('dbo.uspNope'));
  // The pool under load: its connections are made once and validated, not made again per query.
  const answers = await Promise.all(Array.from({ length: 40 }, (_, n) =>
    step(() => pool.request().input('n', sql.Int, n).query('select @n as n'))));
  out.pooled = answers.map((a) => (a.recordsets ? a.recordsets[0][0].n : a));
  await pool.close();
  console.log(JSON.stringify(out));
})().catch((err) => { console.log(JSON.stringify({ failed: String(err && (err.stack || err)) })); });
