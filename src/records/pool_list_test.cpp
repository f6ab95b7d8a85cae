#include "records/pool_list.h"

#include <gtest/gtest.h>

namespace quillon::records {
namespace {

TEST(PoolListTest, ReadsTheNamedOrNumberedColumnWithTheLinesOfItsValues) {
  const std::string text =
      "\xEF\xBB\xBF" "board,mac,note\r\n"
      "1, 02:00:00:00:00:01 ,first\r\n"
      "\r\n"
      "2,\"02:00:00:00:00:02\",\"with, a comma\"\r\n";
  ListProblem problem;
  for (const char* column : {"mac", "2"}) {
    const auto values = ReadPoolList(text, column, problem);
    ASSERT_TRUE(values) << column;
    ASSERT_EQ(values->size(), 2u);
    EXPECT_EQ((*values)[0].value, "02:00:00:00:00:01");
    EXPECT_EQ((*values)[0].line, 2);
    EXPECT_EQ((*values)[1].value, "02:00:00:00:00:02");
    EXPECT_EQ((*values)[1].line, 4);
  }
  const auto notes = ReadPoolList(text, "note", problem);
  ASSERT_TRUE(notes);
  EXPECT_EQ((*notes)[1].value, "with, a comma");
}

struct ProblemCase {
  const char* text;
  const char* column;
  ListProblem::Kind kind;
  int line;
};

class PoolListProblemTest : public ::testing::TestWithParam<ProblemCase> {};

TEST_P(PoolListProblemTest, RefusesTheWholeListAndNamesTheLine) {
  ListProblem problem;
  EXPECT_FALSE(ReadPoolList(GetParam().text, GetParam().column, problem));
  EXPECT_EQ(problem.kind, GetParam().kind);
  EXPECT_EQ(problem.line, GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, PoolListProblemTest,
    ::testing::Values(ProblemCase{"key\nA\nB\nA\n", "key", ListProblem::Kind::kDuplicate, 4},
                      ProblemCase{"key\nA\n\"B\n", "key", ListProblem::Kind::kBadQuotes, 3},
                      ProblemCase{"id,key\n1,A\n2,\n", "key", ListProblem::Kind::kEmptyValue, 3},
                      ProblemCase{"id,key\n1,A\n2\n", "key", ListProblem::Kind::kEmptyValue, 3},
                      ProblemCase{"id,key\n1,A\n", "mac", ListProblem::Kind::kNoColumn, 1},
                      ProblemCase{"id,key\n1,A\n", "3", ListProblem::Kind::kNoColumn, 1},
                      ProblemCase{"key\n\n", "key", ListProblem::Kind::kNoValues, 2}));

TEST(PoolListTest, ADuplicateNamesBothLines) {
  ListProblem problem;
  ASSERT_FALSE(ReadPoolList("key\nA\nB\nA\n", "key", problem));
  EXPECT_EQ(problem.first_line, 2);
  EXPECT_EQ(problem.value, "A");
}

}  // namespace
}  // namespace quillon::records
