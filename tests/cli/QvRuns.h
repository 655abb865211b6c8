#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures/SavedCatalogue.h"
#include "tests/support/Programs.h"

// qv.exe run as a script runs it, from the build's dist folder.
TProgramResult Qv(const std::string& arguments);

// True once count copies of qv run and none has used the processor since
// the last call: they all wait, for the catalogue's write lock.
bool QvsWaiting(size_t count);

// A test of qv on real services: the catalogue put back afterwards, and
// every service the test names in services removed with all it leaves.
class TQvServicesTest : public ::testing::Test {
protected:
    TSavedCatalogue catalogue;
    const std::string program = WindowsPath(TEST_PROGRAM);
    std::vector<std::string> services;

    void TearDown() override;
    static std::string Quoted(const std::string& text) { return "\"" + text + "\""; }
};
