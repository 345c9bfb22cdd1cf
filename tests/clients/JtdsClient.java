// Java's jTDS JDBC driver on its default settings: metadata as JDBC tools read it, writes and
// reads of the MES tables, and the unit query as a CallableStatement with OUTPUT parameters.
// Prints one JSON-like object of strings and numbers; "failed" names what failed.
// usage: java -cp jtds.jar JtdsClient.java HOST PORT USER PASSWORD DATABASE SERIAL
import java.sql.*;
import java.util.*;

public class JtdsClient {
    static final StringBuilder out = new StringBuilder("{");

    static void put(String key, Object value) {
        if (out.length() > 1) out.append(", ");
        out.append('"').append(key).append("\": ").append(json(value));
    }

    static String json(Object v) {
        if (v == null) return "null";
        if (v instanceof Number) return v.toString();
        if (v instanceof List) {
            StringJoiner j = new StringJoiner(", ", "[", "]");
            for (Object o : (List<?>) v) j.add(json(o));
            return j.toString();
        }
        return '"' + v.toString().replace("\\", "\\\\").replace("\"", "\\\"") + '"';
    }

    static List<Object> column(ResultSet rs, String name) throws SQLException {
        List<Object> values = new ArrayList<>();
        while (rs.next()) values.add(rs.getObject(name));
        rs.close();
        return values;
    }

    public static void main(String[] a) throws Exception {
        String step = "connect";
        Class.forName("net.sourceforge.jtds.jdbc.Driver");
        String url = "jdbc:jtds:sqlserver://" + a[0] + ":" + a[1] + "/" + a[4];
        try (Connection db = DriverManager.getConnection(url, a[2], a[3])) {
            DatabaseMetaData meta = db.getMetaData();
            step = "metadata";
            put("product", meta.getDatabaseProductName() + " " + meta.getDatabaseProductVersion());
            put("tables", column(meta.getTables(null, "dbo", "%", new String[] {"TABLE"}), "TABLE_NAME"));
            put("columns", column(meta.getColumns(null, "dbo", "units", "%"), "TYPE_NAME"));
            put("key", column(meta.getPrimaryKeys(null, "dbo", "results"), "COLUMN_NAME"));
            put("procedures", column(meta.getProcedures(null, "dbo", "usp%"), "PROCEDURE_NAME"));
            put("types", column(meta.getTypeInfo(), "TYPE_NAME").size());
            step = "insert";
            try (PreparedStatement insert = db.prepareStatement(
                    "INSERT INTO dbo.units (serial, product, route) VALUES (?, ?, ?)")) {
                insert.setString(1, a[5]);
                insert.setString(2, "M4R-300");
                insert.setString(3, "FT1,PACK");
                put("inserted", insert.executeUpdate());
            }
            step = "rollback";
            db.setAutoCommit(false);
            try (Statement st = db.createStatement()) {
                st.executeUpdate("UPDATE dbo.units SET status = 'HOLD' WHERE serial = '" + a[5] + "'");
            }
            db.rollback();
            db.setAutoCommit(true);
            step = "select";
            try (PreparedStatement select = db.prepareStatement(
                    "SELECT serial, status FROM dbo.units WHERE serial = ? ORDER BY serial")) {
                select.setString(1, a[5]);
                put("status", column(select.executeQuery(), "status"));
            }
            step = "call";
            try (CallableStatement call = db.prepareCall("{call dbo.uspGetUnitInfo(?, ?, ?, ?, ?, ?)}")) {
                call.setString(1, a[5]);
                call.setString(2, "FT1");
                call.setString(3, "张三");
                call.setString(4, "L1");
                call.registerOutParameter(5, Types.VARCHAR);
                call.registerOutParameter(6, Types.INTEGER);
                call.execute();
                put("query", Arrays.asList(call.getString(5), call.getInt(6)));
            }
            step = "nosuch";
            try (Statement st = db.createStatement()) {
                st.executeQuery("SELECT * FROM dbo.nosuch");
            } catch (SQLException e) {
                put("nosuch", e.getErrorCode());
            }
            step = "delete";
            try (Statement st = db.createStatement()) {
                put("deleted", st.executeUpdate("DELETE FROM dbo.units WHERE serial = '" + a[5] + "'"));
            }
        } catch (Exception e) {
            put("failed", step + ": " + e);
        }
        System.out.println(out.append("}"));
    }
}
