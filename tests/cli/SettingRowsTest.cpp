#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "catalogue/ServiceSettings.h"
#include "cli/Arguments.h"
#include "tests/support/Programs.h"
#include "tests/support/TempFiles.h"
#include "toolkit/Paths.h"

// What is written by hand about the settings, held to their rows: the
// schema beside qv.exe and qv's help name every setting, with its choices,
// and nothing else.
TEST(SettingRows, TheShippedSchemaAndTheHelpNameEverySettingAsItsRowDoes)
{
    using nlohmann::json;
    const json schema = json::parse(ReadTextFile(FolderOf(WindowsPath(QV_EXE)) + "\\qv-services.schema.json"));
    const json& settings = schema["$defs"]["entry"]["properties"]["settings"];
    EXPECT_EQ(settings["additionalProperties"], false);
    std::set<std::string> described, options;
    for (const auto& [key, value] : settings["properties"].items())
        described.insert(key);
    const std::string help = HelpText();
    for (const TSettingInfo& info : SettingInfos()) {
        SCOPED_TRACE(info.Option);
        options.insert(info.Option);
        const json& property = settings["properties"][info.Option];
        EXPECT_EQ(property["description"].get<std::string>().rfind(info.Label, 0), 0u) << property["description"];
        EXPECT_NE(help.find(std::string("--") + info.Option + " "), std::string::npos);
        if (info.Form == TSettingForm::Variables) {
            EXPECT_EQ(property["type"], "object");
            EXPECT_EQ(property["additionalProperties"], (json{{"type", "string"}}));
            EXPECT_NE(help.find(std::string("--unset-") + info.Option + " "), std::string::npos);
            continue;
        }
        EXPECT_EQ(property["type"], "string");
        EXPECT_EQ(property["default"], SettingText(TServiceSettings{}, info.Setting));
        EXPECT_EQ(property.value("enum", json::array()), json(info.Choices));
        if (info.Form == TSettingForm::Switch) {
            EXPECT_NE(help.find(std::string("--no-") + info.Option), std::string::npos);
        } else if (!info.Choices.empty()) {
            std::string words;
            for (const std::string& choice : info.Choices)
                words += (words.empty() ? "" : "|") + choice;
            EXPECT_NE(help.find(std::string("--") + info.Option + " " + words), std::string::npos);
        }
    }
    EXPECT_EQ(described, options);
}
