#include "runner/run_record.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace {

using testing::ElementsAre;

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(RunRecord, ReadsBackWhatItWrote) {
  const runner::RunRecord cases[] = {
      {u"app.exe", {}},
      {u"bin\\My App.exe", {u"--flag", u"", u"two words", u"\u00FCnic\u00F6de \u2713 \U0001F600"}},
  };
  for (const runner::RunRecord& record : cases) {
    const std::optional<runner::RunRecord> read = runner::decode_run_record(bytes_of(runner::encode_run_record(record)));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->program, record.program);
    EXPECT_EQ(read->arguments, record.arguments);
  }
  // UTF-16LE, each text followed by a 0 unit.
  EXPECT_EQ(runner::encode_run_record({u"a", {u""}}), std::string("z\0a\0m\0r\0i\0k\0-\0r\0u\0n\0 \0001\0\0\0a\0\0\0\0\0", 32));
}

TEST(RunRecord, RefusesBytesItCannotHaveWritten) {
  const std::string good = runner::encode_run_record({u"app.exe", {u"x"}});
  const std::string cases[] = {
      "",
      good.substr(0, good.size() - 1),                              // an odd number of bytes
      good.substr(0, good.size() - 2),                              // the last text unterminated
      runner::encode_run_record({u"", {}}),                         // no program
      std::string("y") + good.substr(1),                            // another tag
      good.substr(0, 26),                                           // the tag alone
      good + std::string(runner::max_record_size, 'x').substr(0, runner::max_record_size - good.size() + 2),
  };
  for (const std::string& bytes : cases) {
    EXPECT_EQ(runner::decode_run_record(bytes_of(bytes)), std::nullopt) << bytes.size();
  }
}

}  // namespace
