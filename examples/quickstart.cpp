// Korvel quick start: an SQLite database file, a table, a BLOB, a query.
#include <korvel/korvel.h>

#include <iostream>

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "quickstart.db";
  auto db = korvel::Korvel::create({.backend = "SQLite", .database = path});

  db->execute("CREATE TABLE IF NOT EXISTS fruit (id INTEGER PRIMARY KEY, name TEXT, price REAL, photo BLOB)");
  db->begin();
  db->execute("INSERT INTO fruit (name, price, photo) VALUES (", db->quote(korvel::Value::text("pear")), ", ",
              db->quote(korvel::Value::float64(1.25)), ", ", korvel::Value::bytes("\x89PNG", 4), ")");
  db->commit();

  for (const korvel::Value& row : db->query("SELECT id, name, price, length(photo) AS size FROM fruit")) {
    const korvel::Record& r = *row.asRecord();
    std::cout << r["id"].asInt64() << " " << r["name"].text() << " " << r["price"].asDouble() << " "
              << r["size"].asInt64() << "\n";
  }
  return 0;
}
