// ctest: threading
#include "launcher/toolsheet/DynamicContentDlg.h"

#include "delivery/content/PlanetList.h"
#include "delivery/workers/WorkerRunner.h"
#include "foundation/text/LocalizedStrings.h"
#include "foundation/data/MemoryStream.h"
#include "foundation/core/StringUtils.h"
#include "launcher/toolsheet/ToolsDialog.h"
#include "tests/support/FakeWorkers.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/PlanetListBytes.h"
#include "tests/support/PumpUntil.h"
#include "tests/support/QtApp.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

#include <cstdint>
#include <limits>
#include <mutex>
#include <thread>

namespace Vel {
namespace {

using Ids = std::vector<std::uint16_t>;

using Vel::Test::App;

// Planets 2, 5 and 9 as offered, 11 whose name begins with a byte above 0x7F (it sorts after
// "Zeta" only when bytes compare unsigned), and the hidden planet 7.
const PlanetList kPlanets = {
    {1, "core", "Core", {{2, "beta", "Beta"}, {7, "*test", "Test"}}},
    {3, "rim", "Rim", {{11, "ebene", "\xC3\x89" "bene"}, {5, "alpha", "Alpha"}, {9, "zeta", "Zeta"}}},
};

// Records the questions; the test answers them, on whichever thread it likes.
class FakeSizeQuery final : public IPlanetSizeQuery {
public:
    void Query(std::uint16_t planetId, Callback callback) override {
        std::lock_guard lock(mutex_);
        asked_.push_back({planetId, std::move(callback)});
    }
    std::size_t Count() const {
        std::lock_guard lock(mutex_);
        return asked_.size();
    }
    std::uint16_t Planet(std::size_t i) const {
        std::lock_guard lock(mutex_);
        return asked_.at(i).planetId;
    }
    void Answer(std::size_t i, bool ok, std::uint64_t total, std::uint64_t needed) {
        Callback callback;
        {
            std::lock_guard lock(mutex_);
            callback = asked_.at(i).callback;
        }
        callback(ok, total, needed);
    }

private:
    struct Asked {
        std::uint16_t planetId;
        Callback callback;
    };
    mutable std::mutex mutex_;
    std::vector<Asked> asked_;
};

struct Shown {
    std::uint16_t planet;
    int priority;
    bool ticked;
    bool operator==(const Shown&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Shown& s) {
    return out << "{" << s.planet << ", " << s.priority << (s.ticked ? ", ticked}" : "}");
}

class DynamicContentDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        const auto list = dir_.Write("planet_list.xbc", Vel::Test::EncodePlanetList(kPlanets));
        ASSERT_EQ(ReadPlanetList(list.string()), PlanetListRead::Complete);
        SaveBackgroundDownloadList({5, 2});
    }
    void TearDown() override { GetWorkerRunner().Reset(); }

    std::vector<Shown> Table(const DynamicContentDlg& page) const {
        std::vector<Shown> shown;
        const auto rows = page.Rows();
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const QTreeWidgetItem* item = page.List()->topLevelItem(static_cast<int>(i));
            shown.push_back({rows[i].planetId, rows[i].priority, item->checkState(0) == Qt::Checked});
        }
        return shown;
    }
    static std::string Cell(const DynamicContentDlg& page, int row, int column) {
        return page.List()->topLevelItem(row)->text(column).toStdString();
    }
    static void Select(DynamicContentDlg& page, int row) { page.List()->setCurrentItem(page.List()->topLevelItem(row)); }
    static std::pair<bool, bool> Buttons(const DynamicContentDlg& page) {
        return {page.PrioritizeButton()->isEnabled(), page.DeprioritizeButton()->isEnabled()};
    }
    static bool DownloadStarted(const Vel::Test::RecordingBackend& backend) {
        for (const std::string& call : backend.Calls())
            if (call == "download 0") return true;
        return false;
    }

    Vel::Test::TempDir dir_{"planets"};
    Vel::Test::RecordingBackend backend_;
    Vel::Test::ScriptedPrompt prompt_;
    FakeSizeQuery sizes_;
};

TEST_F(DynamicContentDlgTest, TheStoredListGivesPrioritiesTicksAndOrder) {
    DynamicContentDlg page(sizes_);
    page.Activate();
    EXPECT_EQ(Table(page), (std::vector<Shown>{{5, 3, true}, {2, 2, true}, {9, 0, false}, {11, 0, false}}));
    EXPECT_EQ(Cell(page, 0, 0), "Rim - Alpha");
    EXPECT_EQ(page.List()->headerItem()->text(2).toStdString(), "To download");
    EXPECT_EQ(page.Description()->text().toStdString(), LoadLocalizedString(158));
    EXPECT_TRUE(page.List()->isEnabled());
    EXPECT_EQ(Buttons(page), std::make_pair(false, false));
}

TEST_F(DynamicContentDlgTest, TickingMovesToTheTopAndUntickingToTheUnchosen) {
    DynamicContentDlg page(sizes_);
    page.Activate();
    page.List()->topLevelItem(2)->setCheckState(0, Qt::Checked);  // planet 9
    EXPECT_EQ(Table(page), (std::vector<Shown>{{9, 4, true}, {5, 3, true}, {2, 2, true}, {11, 0, false}}));
    EXPECT_EQ(page.List()->currentItem(), page.List()->topLevelItem(0));
    EXPECT_EQ(Buttons(page), std::make_pair(false, true));

    page.List()->topLevelItem(1)->setCheckState(0, Qt::Unchecked);  // planet 5
    EXPECT_EQ(Table(page), (std::vector<Shown>{{9, 4, true}, {2, 2, true}, {5, 0, false}, {11, 0, false}}));
    EXPECT_EQ(page.List()->currentItem(), page.List()->topLevelItem(2));
    EXPECT_EQ(Buttons(page), std::make_pair(false, false));
}

TEST_F(DynamicContentDlgTest, PrioritizeAndDeprioritizeSwapWithTheNeighbourAndFollowTheButtonRules) {
    DynamicContentDlg page(sizes_);
    page.Activate();
    const struct {
        int row;
        bool prioritize, deprioritize;
    } states[] = {{0, false, true}, {1, true, false}, {2, false, false}};
    for (const auto& s : states) {
        Select(page, s.row);
        EXPECT_EQ(Buttons(page), std::make_pair(s.prioritize, s.deprioritize)) << s.row;
    }

    Select(page, 0);
    page.DeprioritizeButton()->click();
    EXPECT_EQ(Table(page), (std::vector<Shown>{{2, 3, true}, {5, 2, true}, {9, 0, false}, {11, 0, false}}));
    EXPECT_EQ(page.List()->currentItem(), page.List()->topLevelItem(1));  // planet 5 stays the mark
    EXPECT_EQ(Buttons(page), std::make_pair(true, false));
    page.PrioritizeButton()->click();
    EXPECT_EQ(Table(page), (std::vector<Shown>{{5, 3, true}, {2, 2, true}, {9, 0, false}, {11, 0, false}}));

    // An unticked row never takes a priority, whatever calls it.
    Select(page, 2);
    page.Prioritize();
    EXPECT_EQ(Table(page)[2], (Shown{9, 0, false}));
}

// Every move from every row, called directly whatever its button says: two ticked neighbours
// swap, anything else changes nothing, and the button is enabled exactly when the move swaps.
TEST_F(DynamicContentDlgTest, OnlyTwoTickedNeighboursSwapAndTheButtonsSayWhen) {
    const std::vector<Shown> stored = {{5, 3, true}, {2, 2, true}, {9, 0, false}, {11, 0, false}};
    const std::vector<Shown> swapped = {{2, 3, true}, {5, 2, true}, {9, 0, false}, {11, 0, false}};
    const struct {
        int row;
        bool down;  // Deprioritize, else Prioritize
        bool swaps;
    } cases[] = {
        {0, true, true},   {1, false, true},   // the two ticked planets
        {1, true, false},  {2, false, false},  // a ticked and an unticked one
        {2, true, false},  {3, false, false},  // two unticked ones
        {0, false, false}, {3, true, false},   // no row beyond the list's ends
    };
    for (const auto& c : cases) {
        const std::string what = std::to_string(c.row) + (c.down ? " down" : " up");
        DynamicContentDlg page(sizes_);
        page.Activate();
        ASSERT_EQ(Table(page), stored);
        Select(page, c.row);
        const QPushButton* button = c.down ? page.DeprioritizeButton() : page.PrioritizeButton();
        EXPECT_EQ(button->isEnabled(), c.swaps) << what;
        if (c.down)
            page.Deprioritize();
        else
            page.Prioritize();
        EXPECT_EQ(Table(page), c.swaps ? swapped : stored) << what;
    }
}

TEST_F(DynamicContentDlgTest, OkStoresTheTickedPlanetsInOrderAndRestartsTheDownload) {
    DynamicContentDlg page(sizes_);
    {
        ToolsDialog sheet(2, false, {nullptr, &page}, nullptr, [] { return true; });
        page.List()->topLevelItem(2)->setCheckState(0, Qt::Checked);  // planet 9
        sheet.OnOk();
        EXPECT_EQ(sheet.result(), QDialog::Accepted);
    }
    EXPECT_EQ(LoadBackgroundDownloadList(), (Ids{9, 5, 2}));
    EXPECT_TRUE(DownloadStarted(backend_));
}

TEST_F(DynamicContentDlgTest, AnEmptyListIsStoredAndTheDownloadStillRestarts) {
    DynamicContentDlg page(sizes_);
    ToolsDialog sheet(2, false, {nullptr, &page}, nullptr, [] { return true; });
    for (int row = 0; row < 2; ++row) page.List()->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
    sheet.OnOk();
    EXPECT_EQ(LoadBackgroundDownloadList(), Ids{});
    EXPECT_TRUE(DownloadStarted(backend_));
}

TEST_F(DynamicContentDlgTest, AFailedWriteIsShownAndTheOpenPageStillHearsItsAnswers) {
    DynamicContentDlg page(sizes_);
    ToolsDialog sheet(2, false, {nullptr, &page}, nullptr, [] { return true; });
    std::vector<int> ends;
    QObject::connect(&sheet, &QDialog::finished, [&](int r) { ends.push_back(r); });
    {
        // A folder where the settings file should be: every write fails.
        Vel::Test::TempDir hive("hive");
        Vel::Test::ScopedEnv env;
        env.Set("TRAILSTARTER_USER_HIVE", hive.Path().c_str());
        sheet.OnOk();
    }
    EXPECT_EQ(prompt_.Questions().size(), 1u);
    EXPECT_TRUE(ends.empty());
    EXPECT_FALSE(DownloadStarted(backend_));
    ASSERT_EQ(sizes_.Count(), 1u);
    sizes_.Answer(0, true, 100, 25);
    ASSERT_TRUE(Vel::Test::PumpUntil([&] { return Cell(page, 0, 1) == "75%"; }));
    sheet.OnCancel();
}

TEST_F(DynamicContentDlgTest, CancelAndAnotherShowingPageStoreNothing) {
    DynamicContentDlg page(sizes_);
    {
        ToolsDialog sheet(2, false, {nullptr, &page}, nullptr, [] { return true; });
        page.List()->topLevelItem(2)->setCheckState(0, Qt::Checked);
        sheet.OnCancel();
    }
    {
        ToolsDialog sheet(2, false, {nullptr, &page}, nullptr, [] { return true; });
        page.List()->topLevelItem(2)->setCheckState(0, Qt::Checked);
        sheet.Tabs()->setCurrentIndex(0);  // the options page shows at OK
        sheet.OnOk();
    }
    EXPECT_EQ(LoadBackgroundDownloadList(), (Ids{5, 2}));
    EXPECT_FALSE(DownloadStarted(backend_));
}

TEST_F(DynamicContentDlgTest, WhileAMoveRunsTheListIsFrozenAndOkStoresNothing) {
    DynamicContentDlg page(sizes_);
    page.Activate();
    page.List()->topLevelItem(2)->setCheckState(0, Qt::Checked);
    const auto before = Table(page);

    auto move = std::make_shared<Vel::Test::FakeWorker>(kMoveContentWorker, 0);
    StartWorker(move);
    page.Activate();
    EXPECT_EQ(page.Description()->text().toStdString(), LoadLocalizedString(1261));
    EXPECT_FALSE(page.List()->isEnabled());
    EXPECT_EQ(Table(page), before);
    EXPECT_EQ(Buttons(page), std::make_pair(false, false));

    EXPECT_TRUE(page.Apply());
    EXPECT_EQ(LoadBackgroundDownloadList(), (Ids{5, 2}));
    EXPECT_FALSE(DownloadStarted(backend_));
    EXPECT_EQ(GetCurrentWorker(), move);
}

TEST_F(DynamicContentDlgTest, PresentPercentNeverWraps) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const struct {
        std::uint64_t total, needed;
        unsigned percent;
    } cases[] = {{1000, 250, 75}, {1000, 0, 100}, {1000, 1000, 0}, {1000, 5000, 0}, {0, 0, 0},
                 {0, 7, 0},       {kMax, 0, 100}, {kMax, 1, 99},    {kMax, kMax / 2, 50}};
    for (const auto& c : cases) EXPECT_EQ(PresentPercent(c.total, c.needed), c.percent) << c.total << " " << c.needed;
}

TEST_F(DynamicContentDlgTest, SizeAnswersFillTheRowsOneQueryAtATime) {
    DynamicContentDlg page(sizes_);
    page.Activate();
    ASSERT_EQ(sizes_.Count(), 1u);
    EXPECT_EQ(sizes_.Planet(0), 5);

    // The first answer comes from another thread; the row changes only on the GUI thread.
    std::thread([this] { sizes_.Answer(0, true, 1000, 5000); }).join();
    EXPECT_EQ(Cell(page, 0, 1), "");
    ASSERT_TRUE(Vel::Test::PumpUntil([&] { return sizes_.Count() == 2; }));
    EXPECT_EQ(Cell(page, 0, 1), "0%");
    EXPECT_EQ(Cell(page, 0, 2), FormatByteSize(5000));
    EXPECT_EQ(sizes_.Planet(1), 2);

    sizes_.Answer(1, false, 0, 0);
    ASSERT_TRUE(Vel::Test::PumpUntil([&] { return sizes_.Count() == 3; }));
    EXPECT_EQ(Cell(page, 1, 1), "Invalid package");
    sizes_.Answer(2, true, 0, 0);
    ASSERT_TRUE(Vel::Test::PumpUntil([&] { return sizes_.Count() == 4; }));
    EXPECT_EQ(Cell(page, 2, 1), "0%");
    sizes_.Answer(3, true, 400, 100);
    ASSERT_TRUE(Vel::Test::PumpUntil([&] { return Cell(page, 3, 1) == "75%"; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(sizes_.Count(), 4u);
}

TEST_F(DynamicContentDlgTest, LateAnswersAfterARefillOrTheSheetClosingAreDropped) {
    DynamicContentDlg page(sizes_);
    page.Activate();
    ASSERT_EQ(sizes_.Count(), 1u);
    // Answered while the first fill was current, but reaching the GUI thread after a re-fill
    // with another order.
    sizes_.Answer(0, true, 100, 0);
    SaveBackgroundDownloadList({2, 5});
    page.Activate();
    ASSERT_EQ(sizes_.Count(), 2u);
    EXPECT_EQ(sizes_.Planet(1), 2);
    // And one that comes after the re-fill.
    sizes_.Answer(0, true, 100, 0);
    sizes_.Answer(1, true, 100, 50);
    ASSERT_TRUE(Vel::Test::PumpUntil([&] { return sizes_.Count() == 3; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(Cell(page, 0, 1), "50%");
    EXPECT_EQ(Cell(page, 1, 1), "");
    EXPECT_EQ(sizes_.Count(), 3u);

    // Closed: an answer queued before the close and one arriving after it change nothing.
    {
        ToolsDialog sheet(2, false, {nullptr, &page}, nullptr, [] { return true; });
        ASSERT_EQ(sizes_.Count(), 4u);
        std::thread([this] { sizes_.Answer(3, true, 100, 0); }).join();
        sheet.OnCancel();
    }
    sizes_.Answer(2, true, 100, 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(Cell(page, 0, 1), "");
    EXPECT_EQ(sizes_.Count(), 4u);

    // A page that is gone is not reached either.
    std::size_t asked = 0;
    {
        DynamicContentDlg gone(sizes_);
        gone.Activate();
        asked = sizes_.Count();
        sizes_.Answer(asked - 1, true, 100, 0);
    }
    sizes_.Answer(asked - 1, true, 100, 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(sizes_.Count(), asked);
}

TEST_F(DynamicContentDlgTest, WithoutASizeQueryEveryPlanetIsAnInvalidPackage) {
    PlanetSizeQueryAdapter unset;
    DynamicContentDlg page(unset);
    page.Activate();
    ASSERT_TRUE(Vel::Test::PumpUntil([&] { return Cell(page, 3, 1) == "Invalid package"; }));
    for (int row = 0; row < 4; ++row) EXPECT_EQ(Cell(page, row, 1), "Invalid package") << row;
}

}  // namespace
}  // namespace Vel
