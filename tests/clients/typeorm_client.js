// TypeORM over the mssql package, on its default settings but for encryption: entities of the
// MES tables, save (an INSERT whose generated columns come back through a table variable),
// find, the query builder, update, a transaction rolled back, delete, and table introspection.
// usage: node typeorm_client.js HOST PORT USER PASSWORD DATABASE SERIAL
// Prints one JSON object: what each step returned; "failed" names what failed.
'use strict';
require('reflect-metadata');
const { DataSource, EntitySchema, Like } = require('typeorm');
const [host, port, username, password, database, serial] = process.argv.slice(2);

const text = (length, more) => ({ type: 'nvarchar', length, ...more });
const Unit = new EntitySchema({
  name: 'Unit', tableName: 'units', schema: 'dbo', columns: {
    serial: text(50, { primary: true }), product: text(50), route: text(200),
    step: { type: 'int', default: 0 }, status: text(10, { default: 'ACTIVE' }),
    failures: { type: 'int', default: 0 },
  },
});
const Result = new EntitySchema({
  name: 'Result', tableName: 'results', schema: 'dbo', columns: {
    id: { type: 'int', primary: true, generated: 'increment' }, serial: text(50),
    procedure: text(50), employee: text(50), line: text(50), verdict: text(10),
    error_no: text(50, { nullable: true }),
    tested_at: { type: 'datetime2', precision: 0, default: () => 'sysutcdatetime()' },
  },
});

(async () => {
  const db = new DataSource({
    type: 'mssql', host, port: Number(port), username, password, database,
    entities: [Unit, Result], options: { encrypt: false },
  });
  const out = {};
  let step = 'initialize';
  try {
    await db.initialize();
    const units = db.getRepository('Unit');
    const results = db.getRepository('Result');
    step = 'save';
    out.saved = await units.save({ serial, product: 'M4R-300', route: 'FT1,PACK' });
    const result = await results.save({ serial, procedure: 'FT0', employee: '赵六', line: '二线',
      verdict: 'PASS', error_no: null });
    out.result = [typeof result.id, result.tested_at instanceof Date];
    step = 'find';
    out.found = (await units.find({ where: { serial: Like('SN000_') }, order: { serial: 'DESC' },
      skip: 1, take: 2 })).map((u) => u.serial);
    out.built = (await units.createQueryBuilder('u').select('u.serial')
      .where('u.serial LIKE :p', { p: 'SN000%' }).orderBy('u.serial').limit(2).getMany()).map((u) => u.serial);
    out.count = await results.count({ where: { serial } });
    step = 'rollback';
    await db.transaction(async (manager) => {
      await manager.update('Unit', { serial }, { status: 'HOLD' });
      throw new Error('undo');
    }).catch((e) => { if (e.message !== 'undo') throw e; });
    step = 'update';
    out.updated = (await units.update({ serial }, { failures: 1 })).affected;
    out.unit = await units.findOneBy({ serial });
    step = 'introspect';
    const runner = db.createQueryRunner();
    out.columns = (await runner.getTable('dbo.results')).columns.map((c) => `${c.name} ${c.type}`);
    await runner.release();
    step = 'nosuch';
    out.nosuch = await db.query('SELECT * FROM dbo.nosuch').catch((e) => e.number);
    step = 'delete';
    out.deleted = [(await results.delete({ serial })).affected, (await units.delete({ serial })).affected];
  } catch (err) {
    out.failed = `${step}: ${err.number || ''} ${err.message}`;
  }
  if (db.isInitialized) await db.destroy();
  console.log(JSON.stringify(out));
})();
