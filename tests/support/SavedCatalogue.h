#pragma once
#include <windows.h>

#include <string>

#include "catalogue/Catalogue.h"
#include "deploy/Deploy.h"

// The catalogue in the Windows directory, which the service host and the
// command line read: moved aside for the test and put back afterwards.
class TSavedCatalogue {
public:
    TSavedCatalogue() : path_(WindowsDirectory() + "\\" + CatalogueFileName)
    {
        saved_ = MoveFileExA(path_.c_str(), (path_ + ".test-saved").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    ~TSavedCatalogue()
    {
        DeleteFileA(path_.c_str());
        if (saved_)
            MoveFileExA((path_ + ".test-saved").c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    TSavedCatalogue(const TSavedCatalogue&) = delete;
    TSavedCatalogue& operator=(const TSavedCatalogue&) = delete;

    const std::string& Path() const { return path_; }

private:
    std::string path_;
    bool saved_ = false;
};
