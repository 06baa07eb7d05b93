#pragma once
// The register a test runs on, in each storage: an SQLite file, or a database of its own in a
// throwaway PostgreSQL cluster. KESTREL_REGISTER_STORAGES(SUITE) runs a suite in each.
#include "PostgresCluster.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

class RegisterStorage : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "sqlite") {
            uri_ = "sqlite:" + dir_ / "register.sqlite";
        } else {
            cluster_ = std::make_unique<TPostgresCluster>();
            uri_ = cluster_->NewDatabase("register");
        }
    }
    // The register's --register URI.
    const std::string& Uri() const { return uri_; }

private:
    TempDir dir_;
    std::unique_ptr<TPostgresCluster> cluster_;
    std::string uri_;
};

inline std::string StorageName(const testing::TestParamInfo<std::string>& storage) {
    return storage.param;
}

#define KESTREL_REGISTER_STORAGES(suite)                                                           \
    INSTANTIATE_TEST_SUITE_P(Storages, suite, testing::Values("sqlite", "postgresql"), StorageName)
