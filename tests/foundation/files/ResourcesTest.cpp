#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

#include "foundation/core/AppEnvironment.h"
#include "foundation/files/ResourceFileSystem.h"
#include "foundation/files/ResourceKey.h"

using namespace Vel;

TEST(ResourceBaseKey, ReadsTheFirstPairOfTheName) {
    const ResourceBaseKey key("&a=1&ab=2&s=abc&f=0.5&bad=x&b=a=3");
    EXPECT_EQ(key.GetParam<int>("a"), 1);
    EXPECT_EQ(key.GetParam<int>("ab"), 2);
    EXPECT_EQ(key.GetParam<std::string>("s"), "abc");
    EXPECT_FLOAT_EQ(key.GetParam<float>("f"), 0.5f);
    EXPECT_EQ(key.GetParam<int>("bad"), 0);
    EXPECT_EQ(key.GetParam<float>("bad"), 0.0f);
    EXPECT_EQ(key.GetParam<std::string>("b"), "a=3");
    EXPECT_EQ(key.GetParam<int>("missing"), 0);
    EXPECT_EQ(key.GetParam<std::string>("missing"), "");
    // "a" occurs inside the value of b, but no pair is named so after the first one.
    EXPECT_EQ(ResourceBaseKey("&b=a=3").GetParam<int>("a"), 0);
}

TEST(ResourceBaseKey, SettingAppendsAndTheFirstPairStaysInForce) {
    ResourceBaseKey key;
    key.SetParam<int>("a", 7);
    key.SetParam<int>("a", 8);
    key.SetParam<float>("scale", 0.25f);
    key.SetParam<std::string>("name", std::string("abc"));
    EXPECT_EQ(key.GetText(), "&a=7&a=8&scale=0.25&name=abc");
    EXPECT_EQ(key.GetParam<int>("a"), 7);
    EXPECT_FLOAT_EQ(key.GetParam<float>("scale"), 0.25f);

    // Numbers keep the classic form under a locale with a decimal comma.
    if (std::setlocale(LC_ALL, "de_DE.UTF-8")) {
        ResourceBaseKey german;
        german.SetParam<float>("f", 1.5f);
        EXPECT_EQ(german.GetText(), "&f=1.5");
        EXPECT_FLOAT_EQ(german.GetParam<float>("f"), 1.5f);
        std::setlocale(LC_ALL, "C");
    }
}

TEST(ResourceFileSystem, ResolvesResourcePaths) {
    struct Case {
        const char* root;
        const char* path;
        const char* expected;
    };
    const Case cases[] = {
        {"", "", ""},
        {"", "  ", ""},
        {"", "!Data/X.xml", "!Data/X.xml"},
        {"", " !Data\\X.xml", " !Data\\X.xml"},  // unchanged, not even trimmed
        {"", "/Data/X.xml", "Data/X.xml"},
        {"", "Data\\\\Sub\\X.xml", "Data/Sub/X.xml"},
        {"", "$r/Planets/A.xml", "Planets/A.xml"},
        {"", "$rPlanets/A.xml", "Planets/A.xml"},
        {"", "$l/A.xml", "A.xml"},  // no active path: no mount prefix
        {"/Games/public_users_data/", "\\games\\Public_Users_Data\\a.xml", "a.xml"},
        {"/Games/public_users_data/", "/Games/other/a.xml", "Games/other/a.xml"},
    };
    for (const Case& c : cases) {
        SetResourceRoot(c.root);
        EXPECT_EQ(ResolveResourcePath(c.path), c.expected) << "root \"" << c.root << "\", path \"" << c.path << "\"";
    }
    SetResourceRoot("");
}

namespace {

class Mount final : public ResourceFileSystem::IMount {
public:
    Mount(unsigned kind, std::vector<unsigned> accepted) : kind_(kind), accepted_(std::move(accepted)) {}
    unsigned GetKind() const override { return kind_; }
    bool Accepts(const IMount& other) const override {
        for (unsigned k : accepted_)
            if (k == other.GetKind()) return true;
        return false;
    }

private:
    unsigned kind_;
    std::vector<unsigned> accepted_;
};

class Provider final : public XMLParser::IFileProvider {
public:
    explicit Provider(bool answer) : answer_(answer) {}
    bool Open(const std::string& path, unsigned) override {
        opened.push_back(path);
        return answer_;
    }
    std::vector<std::string> opened;

private:
    bool answer_;
};

}  // namespace

TEST(ResourceFileSystem, OpensThroughTheProvidersOfThePathsMount) {
    ResourceFileSystem::XMLParser_Impl files;
    EXPECT_FALSE(files.Open("$r/a.xml", 0)) << "no provider registered";

    auto ui = std::make_shared<Provider>(false);
    auto data = std::make_shared<Provider>(true);
    ResourceFileSystem::AddMount("$r/ui/", std::make_shared<Mount>(1, std::vector<unsigned>{1}));
    ResourceFileSystem::AddMount("$r/data/", std::make_shared<Mount>(2, std::vector<unsigned>{1, 2}));
    ResourceFileSystem::AddProvider(1, ui);
    ResourceFileSystem::AddProvider(2, data);
    ResourceFileSystem::SetPathTranslation([](const std::string& p) { return "pak:" + p; });

    EXPECT_TRUE(files.Open("$r/Data/Planets.xml", 0));
    EXPECT_TRUE(ui->opened.empty()) << "a provider of another kind is skipped";
    EXPECT_EQ(data->opened, std::vector<std::string>{"pak:Data/Planets.xml"});
    EXPECT_FALSE(files.Open("$r/ui/menu.xml", 0)) << "its only provider declines";

    // A restricted active path reaches only the mounts its own mount accepts.
    ResourceFileSystem::PushActivePath({"$r/ui/", true});
    EXPECT_FALSE(files.Open("$r/data/x.xml", 0));
    EXPECT_EQ(ResolveResourcePath("$l/menu.xml"), "$r/ui/menu.xml");
    EXPECT_EQ(ResolveResourcePath("menu.xml"), "$r/ui/menu.xml");
    ResourceFileSystem::PopActivePath();
    ResourceFileSystem::PushActivePath({"$r/data/", true});
    EXPECT_TRUE(files.Open("$r/data/x.xml", 0));
    EXPECT_FALSE(files.Open("$r/elsewhere/x.xml", 0)) << "a path outside every mount";
    ResourceFileSystem::PopActivePath();

    ResourceFileSystem::Reset();
}
