#include "database/pg_connection_pool.h"
#include "database/postgresql_exception.h"
#include "database/statements.h"

#include "tests/support/test_database.h"

#include <gtest/gtest.h>

namespace {

TEST(SchemaTest, EveryStatementPreparesAgainstTheProductSchema)
{
  TestDatabase db;
  PgPool pool(db.connectionString(), 2);
  prepareStartupStatements(pool);
  pool.prepareRequest(statements::reloadServiceName, statements::serviceQuery());
  pool.prepareRequest(statements::addNewServiceName, statements::newServiceQuery());
  pool.prepareRequest(statements::deleteServiceName, statements::deleteService, 0);
  pool.prepareRequest(statements::newAutoacquitteName, statements::newAutoacquitte, 0);
  pool.prepareRequest(statements::checkAutoacquitteName, statements::checkAutoacquitte, 2);

  PgResult services = pool.executePrepared(statements::reloadServiceName);
  EXPECT_EQ(PQnfields(services.get()), 30);
  EXPECT_STREQ(PQfname(services.get(), 29), "adv_param");
  EXPECT_STREQ(PQfname(services.get(), 16), "tolv_sn");
  PgResult count = pool.executePrepared(statements::checkAutoacquitteName, { "1", "5 minute" });
  EXPECT_EQ(pgValue(count, 0, 0), "0");
}

TEST(SchemaTest, ServiceQueryEndsWithoutSemicolonAndTheNewServiceFormAddsTheWindow)
{
  std::string reload = statements::serviceQuery();
  EXPECT_EQ(reload.back(), '\'');
  EXPECT_EQ(reload.rfind(" WHERE plugin_type='syslog'"), reload.size() - 27);
  EXPECT_EQ(statements::newServiceQuery(),
      reload + " AND service_time_added > (NOW()- interval '5 minute');");
}

TEST(SchemaTest, ErrorNamesLoadWithTheLaterDuplicateWinning)
{
  TestDatabase db;
  PgPool pool(db.connectionString(), 1);
  std::map<std::string, std::string> errors;
  loadErrorNames(pool, errors);
  EXPECT_EQ(errors.size(), 4u);
  EXPECT_EQ(errors["default_critical_error"], "2");
  EXPECT_EQ(errors["default_unknow_error"], "3");

  db.exec("DELETE FROM quelm_errors");
  db.exec("INSERT INTO quelm_errors VALUES (10, 'default_warning_error'), (11, 'other'), "
          "(12, 'default_warning_error')");
  std::map<std::string, std::string> duplicates;
  loadErrorNames(pool, duplicates);
  EXPECT_EQ(duplicates.size(), 1u);
  EXPECT_EQ(duplicates["default_warning_error"], "12");
}

} // namespace
