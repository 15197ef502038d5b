// The shared-ownership handle templates: a connection lives as long as any
// handle made from it, and a dependent object goes before its connection share.
#include "api/handles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> journal;

struct FakeConnection {
    bool ready = true;
    bool open = true;
    ~FakeConnection() { journal.push_back("connection closed"); }
};

struct FakeConnectionHandle : kelvo_external_ptr<FakeConnection> {
    using kelvo_external_ptr<FakeConnection>::kelvo_external_ptr;
};

// Like a rowset: marks the connection busy while it lives, and its close
// still talks to the connection.
struct FakeRowset {
    explicit FakeRowset(FakeConnection& connection) : m_connection(connection) { m_connection.ready = false; }
    ~FakeRowset() {
        EXPECT_TRUE(m_connection.open);
        m_connection.ready = true;
        journal.push_back("rowset closed");
    }
    FakeConnection& m_connection;
};

struct FakeRowsetHandle : kelvo_connection_dependent_ptr<FakeRowset, FakeConnectionHandle> {
    using kelvo_connection_dependent_ptr<FakeRowset, FakeConnectionHandle>::kelvo_connection_dependent_ptr;
};

class Handles : public ::testing::Test {
protected:
    void SetUp() override { journal.clear(); }
};

TEST_F(Handles, ADependentHandleKeepsTheConnectionAliveAfterDisconnect) {
    auto* connection = new FakeConnectionHandle(std::make_shared<FakeConnection>());
    FakeRowsetHandle* rowset = nullptr;
    kelvoapi::make_external(&rowset, *connection);
    ASSERT_NE(rowset, nullptr);
    EXPECT_EQ(&rowset->Get().m_connection, connection->m_inner.get());
    EXPECT_FALSE(connection->Get().ready);
    EXPECT_EQ(connection->m_inner.use_count(), 2);

    delete static_cast<kelvo_external_ptr<FakeConnection>*>(connection);  // disconnect
    EXPECT_TRUE(journal.empty());
    EXPECT_FALSE(rowset->m_connection.Get().ready);

    delete static_cast<kelvo_external_ptr<FakeRowset>*>(rowset);  // close through the base
    EXPECT_EQ(journal, (std::vector<std::string>{"rowset closed", "connection closed"}));
}

}  // namespace
