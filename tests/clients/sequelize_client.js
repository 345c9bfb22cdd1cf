// Sequelize (ORM) over tedious, on its default settings but for encryption: models of the MES
// tables, create/find/update/destroy, a managed transaction rolled back, and the unit query.
// usage: node sequelize_client.js HOST PORT USER PASSWORD DATABASE SERIAL
// Prints one JSON object: what each step returned; "failed" names what failed.
'use strict';
const { Sequelize, DataTypes, Op } = require('sequelize');
const [host, port, user, password, database, serial] = process.argv.slice(2);

(async () => {
  const db = new Sequelize(database, user, password, {
    dialect: 'mssql', host, port: Number(port), logging: false,
    dialectOptions: { options: { encrypt: false } },
  });
  const common = { schema: 'dbo', timestamps: false, freezeTableName: true };
  const Unit = db.define('units', {
    serial: { type: DataTypes.STRING(50), primaryKey: true },
    product: DataTypes.STRING(50), route: DataTypes.STRING(200),
    step: { type: DataTypes.INTEGER, defaultValue: 0 },
    status: { type: DataTypes.STRING(10), defaultValue: 'ACTIVE' },
    failures: { type: DataTypes.INTEGER, defaultValue: 0 },
  }, common);
  const Result = db.define('results', {
    id: { type: DataTypes.INTEGER, primaryKey: true, autoIncrement: true },
    serial: DataTypes.STRING(50), procedure: DataTypes.STRING(50), employee: DataTypes.STRING(50),
    line: DataTypes.STRING(50), verdict: DataTypes.STRING(10), error_no: DataTypes.STRING(50),
    tested_at: DataTypes.DATE,
  }, common);
  const out = {};
  let step = 'authenticate';
  try {
    await db.authenticate();
    step = 'create';
    out.created = (await Unit.create({ serial, product: 'M4R-300', route: 'FT1,PACK' })).toJSON();
    const result = await Result.create({ serial, procedure: 'FT0', employee: '王五', line: '二线',
      verdict: 'FAIL', error_no: '7', tested_at: new Date(Date.UTC(2024, 0, 2, 3, 4, 5)) });
    out.resultId = typeof result.id;
    step = 'find';
    out.found = (await Unit.findAll({ where: { serial: { [Op.like]: 'SN000%' }, step: { [Op.gte]: 0 } },
      order: [['serial', 'DESC']], limit: 2, offset: 1, attributes: ['serial'] }))
      .map((u) => u.serial);
    out.count = await Result.count({ where: { serial } });
    step = 'rollback';
    await db.transaction(async (transaction) => {
      await Unit.update({ status: 'HOLD' }, { where: { serial }, transaction });
      throw new Error('undo');
    }).catch((e) => { if (e.message !== 'undo') throw e; });
    step = 'update';
    const unit = await Unit.findByPk(serial);
    unit.failures = 1;
    await unit.save();
    out.updated = (await Unit.findByPk(serial)).toJSON();
    step = 'query';
    out.query = await db.query(
      'DECLARE @m nvarchar(4000), @r int; EXEC dbo.uspGetUnitInfo :sn, :p, :e, :l, @m OUTPUT, @r OUTPUT; SELECT @m AS m, @r AS r',
      { replacements: { sn: serial, p: 'FT1', e: '张三', l: 'L1' }, type: Sequelize.QueryTypes.SELECT });
    step = 'describe';
    out.describe = Object.keys(await db.getQueryInterface().describeTable({ tableName: 'results', schema: 'dbo' }));
    step = 'nosuch';
    out.nosuch = await db.query('SELECT * FROM dbo.nosuch').catch((e) => e.parent && e.parent.number);
    step = 'destroy';
    out.destroyed = [await Result.destroy({ where: { serial } }), await Unit.destroy({ where: { serial } })];
  } catch (err) {
    out.failed = `${step}: ${err.message} ${err.parent ? err.parent.number : ''} ${err.sql || ''}`;
  }
  await db.close();
  console.log(JSON.stringify(out));
})();
