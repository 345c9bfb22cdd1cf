// knex (query builder) over tedious, on its default settings but for encryption: reads and
// writes the MES tables, in and out of a transaction, and calls the unit query.
// usage: node knex_client.js HOST PORT USER PASSWORD DATABASE SERIAL
// Prints one JSON object: what each step returned; "failed" names what failed.
'use strict';
const knex = require('knex');
const [host, port, user, password, database, serial] = process.argv.slice(2);

(async () => {
  const db = knex({
    client: 'mssql',
    connection: { server: host, port: Number(port), user, password, database, options: { encrypt: false } },
  });
  const out = {};
  let step = 'insert';
  try {
    out.inserted = await db('units').withSchema('dbo')
      .insert({ serial, product: 'M4R-300', route: 'FT1,PACK' });
    step = 'returning';
    out.result = await db('dbo.results').insert({
      serial, procedure: 'FT0', employee: '李四', line: '一线', verdict: 'PASS', error_no: '0',
    }, ['id', 'tested_at']);
    step = 'select';
    out.units = await db('dbo.units').pluck('serial')
      .where('serial', serial).orWhere('serial', 'like', 'SN000_').orderBy('serial', 'desc').limit(2).offset(1);
    step = 'count';
    out.count = await db('dbo.results').count({ n: '*' }).where({ serial });
    step = 'rollback';
    const trx = await db.transaction();
    out.held = await trx('dbo.units').where({ serial }).update({ status: 'HOLD' });
    await trx.rollback();
    step = 'update';
    out.updated = await db('dbo.units').where({ serial }).increment('failures', 2);
    step = 'query';
    out.query = await db.raw(
      'DECLARE @m nvarchar(4000), @r int; EXEC dbo.uspGetUnitInfo ?, ?, ?, ?, @m OUTPUT, @r OUTPUT; SELECT @m AS m, @r AS r',
      [serial, 'FT1', '张三', 'L1']);
    step = 'unit';
    out.unit = await db('dbo.units').first('status', 'failures').where({ serial });
    step = 'introspect';
    out.hasTable = await db.schema.withSchema('dbo').hasTable('results');
    out.columnInfo = await db('results').withSchema('dbo').columnInfo('tested_at');
    step = 'nosuch';
    out.nosuch = await db('dbo.nosuch').select('*').catch((e) => e.number);
    step = 'delete';
    out.deleted = await db('dbo.units').where({ serial }).del();
    out.deletedResults = await db('dbo.results').where({ serial, procedure: 'FT0' }).del();
  } catch (err) {
    out.failed = `${step}: ${err.number || ''} ${err.message}`;
  }
  await db.destroy();
  console.log(JSON.stringify(out));
})();
