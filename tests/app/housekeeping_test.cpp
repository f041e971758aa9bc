// Which recordings the housekeeping lets go, by table over one history.
#include "app/Housekeeping.h"

#include <gtest/gtest.h>

#include <map>

namespace wavecrate {
namespace {

constexpr std::int64_t kNow = 1'700'000'000;
constexpr std::int64_t kDay = 86400;

THistoryRecord Finished(const std::string& id, const std::string& show, std::int64_t daysAgo,
                        std::int64_t size, const std::string& file = "") {
  THistoryRecord record;
  record.Event = THistoryRecord::TEvent::Finished;
  record.Id = id;
  record.Report.ShowName = show;
  record.Report.File = file.empty() ? "/rec/" + id + ".mp3" : file;
  record.Report.ActualStart = kNow - daysAgo * kDay;
  record.Report.Result = TRecordingResult::Recorded;
  record.FileSize = size;
  return record;
}

TEST(HousekeepingTest, OnlyTheProgramsOwnUntouchedFilesOfIdleShowsGoByTheRule) {
  std::vector<THistoryRecord> history = {
      Finished("m1", "Morning", 10, 1000), Finished("m2", "Morning", 5, 1000),
      Finished("m3", "Morning", 1, 1000),
      // Edited since (its size differs): the user's now.
      Finished("e1", "Evening", 20, 500), Finished("e2", "Evening", 15, 1000),
      Finished("e3", "Evening", 2, 1000),
      // A slot thread records this show now.
      Finished("n1", "Night", 30, 1000),
      // This show's newest recording is still open in the history.
      Finished("s1", "Sports", 40, 1000),
      // Moved before; its file gone since; a file deleted by the user and
      // made again by a later recording, of the same size.
      Finished("t1", "Talk", 50, 1000), Finished("x1", "Talk", 45, 1000),
      Finished("old", "Talk", 60, 700, "/rec/reused.mp3"), Finished("new", "Talk", 3, 700, "/rec/reused.mp3"),
      // A failed recording whose file was never kept.
      Finished("f1", "Morning", 30, -1)};
  THistoryRecord open = Finished("s2", "Sports", 0, -1);
  open.Event = THistoryRecord::TEvent::Started;
  open.Report.Result = TRecordingResult::InProgress;
  history.push_back(open);
  history[8] = TrashedRecord(history[8], kNow - 49 * kDay);

  std::map<std::string, std::int64_t> disk = {{"/rec/foreign.mp3", 1000}, {"/rec/reused.mp3", 700},
                                              {"/rec/e1.mp3", 600},       {"/rec/s2.mp3", 10},
                                              {"/rec/t1.mp3", 1000},      {"/rec/f1.mp3", 0}};
  for (const char* id : {"m1", "m2", "m3", "e2", "e3", "n1", "s1"})
    disk[std::string("/rec/") + id + ".mp3"] = 1000;
  std::vector<std::string> asked;
  const TFileSizeNow sizeNow = [&](const std::string& path) -> std::optional<std::int64_t> {
    asked.push_back(path);
    const auto it = disk.find(path);
    return it == disk.end() ? std::nullopt : std::optional<std::int64_t>(it->second);
  };

  using K = TKeepRule::TKind;
  const struct {
    TKeepRule Rule;
    std::vector<std::string> Gone;  // newest first
  } cases[] = {
      {{K::Forever, 0}, {}}, {{K::Days, 7}, {"m1", "e2"}},          {{K::Days, 12}, {"e2"}},
      {{K::Days, 365}, {}},  {{K::PerShow, 1}, {"m2", "m1", "e2"}}, {{K::PerShow, 2}, {"m1"}},
      {{K::PerShow, 3}, {}}, {KeepRuleFromText("0 days"), {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> gone;
    for (const THistoryRecord& r : RecordingsToTrash(history, c.Rule, kNow, {"Night"}, sizeNow))
      gone.push_back(r.Id);
    EXPECT_EQ(gone, c.Gone) << KeepRuleText(c.Rule);
  }
  for (const std::string& path : asked) {
    EXPECT_NE(path, "/rec/foreign.mp3") << "a file the history does not know is never looked at";
    EXPECT_NE(path, "/rec/s2.mp3") << "nor the file being recorded";
  }

  // The move is kept in the history, and read back from its line.
  const auto back = ParseHistoryLine(HistoryLine(TrashedRecord(history[0], kNow)));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Event, THistoryRecord::TEvent::Finished);
  EXPECT_EQ(back->TrashedAt, kNow);
  EXPECT_EQ(back->FileSize, 1000);
  EXPECT_EQ(back->Report.File, "/rec/m1.mp3");
  const auto older = ParseHistoryLine("{\"event\":\"finished\",\"id\":\"5-1\",\"result\":\"recorded\"}");
  ASSERT_TRUE(older);
  EXPECT_EQ(older->FileSize, -1) << "a line without a size never lets its file go";
  EXPECT_EQ(older->TrashedAt, 0);
}

TEST(HousekeepingTest, TheRuleAsTheSettingsKeepItAndAnythingElseIsForever) {
  using K = TKeepRule::TKind;
  for (const TKeepRule rule : {TKeepRule{}, TKeepRule{K::Days, kMaxKeepDays}, TKeepRule{K::PerShow, 5}})
    EXPECT_EQ(KeepRuleFromText(KeepRuleText(rule)), rule) << KeepRuleText(rule);
  EXPECT_EQ(KeepRuleText({K::PerShow, 5}) + ", " + KeepRuleText({K::Days, 30}), "5 per show, 30 days");
  for (const char* text :
       {"", "0 days", "-3 days", "7days", " 7 days", "7 weeks", "99999 days", "1000 per show"})
    EXPECT_EQ(KeepRuleFromText(text), TKeepRule{}) << text;
}

}  // namespace
}  // namespace wavecrate
