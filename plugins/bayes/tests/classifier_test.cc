// Combining evidence, learning, the token file and the mail sources.
#include <gtest/gtest.h>

#include "bayes.h"
#include "test_helpers.h"

namespace bayes {
namespace {

using test::hamMessage;
using test::readText;
using test::spamMessage;
using test::TempFolder;
using test::writeText;

TEST(Classifier, CombinesTokenEvidence) {
  TokenTable table;
  Parameters p;
  const uint64_t spammy = 1, hammy = 2, even = 3, unknown = 4;
  EXPECT_EQ(spamProbability(table, {spammy}, p), 0.5); // nothing learned yet
  table.spamMessages = 10;
  EXPECT_EQ(spamProbability(table, {spammy}, p), 0.5); // no ham learned yet
  table.hamMessages = 10;
  table.tokens[spammy] = {10, 0};
  table.tokens[hammy] = {0, 10};
  table.tokens[even] = {5, 5};
  for (uint64_t t = 100; t < 120; ++t) {
    table.tokens[t] = {6, 1};
  }
  TokenSet manyLeaningSpam;
  for (uint64_t t = 100; t < 120; ++t) {
    manyLeaningSpam.push_back(t);
  }
  EXPECT_GT(spamProbability(table, {spammy}, p), 0.95);
  EXPECT_LT(spamProbability(table, {hammy}, p), 0.05);
  EXPECT_NEAR(spamProbability(table, {even}, p), 0.5, 1e-9);
  EXPECT_NEAR(spamProbability(table, {unknown}, p), 0.5, 1e-9);
  EXPECT_NEAR(spamProbability(table, {spammy, hammy}, p), 0.5, 1e-9);
  // Twenty tokens that each lean only somewhat to spam add up to near certainty.
  EXPECT_GT(spamProbability(table, manyLeaningSpam, p), 0.99);
  // The ham counts are weighed by the number of ham messages: 5 of 100 ham is
  // rarer than 5 of 10 spam.
  table.hamMessages = 100;
  EXPECT_GT(spamProbability(table, {even}, p), 0.8);

  const std::pair<double, Judgement> bands[] = {
      {p.spamCutoff, Judgement::Spam}, {p.spamCutoff - 1e-6, Judgement::Unsure},
      {p.hamCutoff, Judgement::Ham},   {p.hamCutoff + 1e-6, Judgement::Unsure},
      {1.0, Judgement::Spam},          {0.0, Judgement::Ham},
  };
  for (const auto& [score, judgement] : bands) {
    EXPECT_EQ(judge(score, p), judgement) << score;
  }
}

TEST(Classifier, LearnsAMessageOnceAndMovesItWhenCorrected) {
  TokenTable table;
  TokenSet tokens = {7, 8};
  EXPECT_EQ(learn(table, 42, tokens, Category::Spam), LearnOutcome::Learned);
  EXPECT_EQ(learn(table, 42, tokens, Category::Spam), LearnOutcome::AlreadyKnown);
  EXPECT_EQ(table.spamMessages, 1u);
  EXPECT_EQ(table.tokens[7].spam, 1u);
  EXPECT_EQ(learn(table, 42, tokens, Category::Ham), LearnOutcome::Moved);
  EXPECT_EQ(table.spamMessages, 0u);
  EXPECT_EQ(table.hamMessages, 1u);
  EXPECT_EQ(table.tokens[7].spam, 0u);
  EXPECT_EQ(table.tokens[7].ham, 1u);
}

// A store with three messages learned and saved.
void learnThree(TokenStore& store) {
  store.learn(messageFingerprint(spamMessage(1)), tokeniseMessage(spamMessage(1)), Category::Spam);
  store.learn(messageFingerprint(spamMessage(2)), tokeniseMessage(spamMessage(2)), Category::Spam);
  store.learn(messageFingerprint(hamMessage(1)), tokeniseMessage(hamMessage(1)), Category::Ham);
}

TEST(TokenFile, KeepsWhatWasLearnedAcrossRuns) {
  TempFolder folder;
  Parameters p;
  double score;
  {
    TokenStore store(folder.path());
    EXPECT_EQ(store.notice(), "");
    learnThree(store);
    EXPECT_TRUE(store.dirty());
    ASSERT_TRUE(store.save());
    EXPECT_FALSE(store.dirty());
    score = store.score(tokeniseMessage(spamMessage(3)), p);
  }
  TokenStore again(folder.path());
  EXPECT_EQ(again.notice(), "");
  EXPECT_EQ(again.messages(Category::Spam), 2u);
  EXPECT_EQ(again.messages(Category::Ham), 1u);
  EXPECT_EQ(again.score(tokeniseMessage(spamMessage(3)), p), score);
  EXPECT_GT(score, 0.9);
  // The learned fingerprints come back too: the same message is not counted twice.
  EXPECT_EQ(again.learn(messageFingerprint(spamMessage(1)), tokeniseMessage(spamMessage(1)),
                        Category::Spam),
            LearnOutcome::AlreadyKnown);
}

TEST(TokenFile, DamagedFilesAreRefused) {
  TokenTable table;
  learn(table, 1, {10, 11}, Category::Spam);
  learn(table, 2, {11, 12}, Category::Ham);
  std::string good = encodeTokenTable(table);
  TokenTable read;
  ASSERT_TRUE(decodeTokenTable(good, read));
  EXPECT_EQ(read.tokens.size(), 3u);
  EXPECT_EQ(read.learned.at(2), Category::Ham);

  auto changed = [&](size_t at, char value) {
    std::string bytes = good;
    bytes[at] = value;
    return bytes;
  };
  const std::pair<const char*, std::string> damaged[] = {
      {"empty", ""},
      {"truncated by one byte", good.substr(0, good.size() - 1)},
      {"header only", good.substr(0, 28)},
      {"one byte more", good + "x"},
      {"bit flipped in a count", changed(40, static_cast<char>(good[40] ^ 1))},
      {"other magic", changed(0, 'X')},
      {"other version", changed(8, 2)},
      {"token count too large", changed(23, 1)},
      {"text instead", std::string(good.size(), 'a')},
  };
  for (const auto& [what, bytes] : damaged) {
    EXPECT_FALSE(decodeTokenTable(bytes, read)) << what;
  }
}

TEST(TokenFile, ADamagedFileIsKeptAsideAndLearningStartsAfresh) {
  for (const std::string damage : {"truncated", "garbage", "oversized"}) {
    TempFolder folder;
    {
      TokenStore store(folder.path());
      learnThree(store);
      ASSERT_TRUE(store.save());
    }
    std::string path = folder.path() + kTokenFileName;
    std::string bytes = readText(path);
    std::string broken =
        damage == "truncated" ? bytes.substr(0, bytes.size() / 2) : std::string(5000, '\x7f');
    writeText(path, broken);
    if (damage == "oversized") {
      // A terabyte (a sparse file): refused without being read into memory, which
      // could not hold it.
      std::filesystem::resize_file(path, 1ull << 40);
    }

    TokenStore store(folder.path());
    EXPECT_NE(store.notice().find("damaged"), std::string::npos) << store.notice();
    EXPECT_EQ(store.messages(Category::Spam), 0u);
    EXPECT_EQ(store.messages(Category::Ham), 0u);
    if (damage != "oversized") {
      EXPECT_EQ(readText(folder.path() + kCorruptTokenFileName), broken);
    }
    EXPECT_TRUE(std::filesystem::exists(folder.path() + kCorruptTokenFileName));
    EXPECT_FALSE(store.takeNotice().empty());
    EXPECT_EQ(store.takeNotice(), ""); // told once
    // The fresh start is written as a good file.
    learnThree(store);
    ASSERT_TRUE(store.save());
    EXPECT_EQ(TokenStore(folder.path()).messages(Category::Spam), 2u);
  }
}

TEST(TokenFile, MergesWithAnotherWriter) {
  TempFolder folder;
  TokenStore proxy(folder.path());
  TokenStore trainer(folder.path());
  trainer.learn(messageFingerprint(spamMessage(1)), tokeniseMessage(spamMessage(1)),
                Category::Spam);
  ASSERT_TRUE(trainer.save());
  // The proxy learned meanwhile; its save adds to what the trainer wrote.
  proxy.learn(messageFingerprint(hamMessage(1)), tokeniseMessage(hamMessage(1)), Category::Ham);
  ASSERT_TRUE(proxy.save());
  TokenStore reader(folder.path());
  EXPECT_EQ(reader.messages(Category::Spam), 1u);
  EXPECT_EQ(reader.messages(Category::Ham), 1u);
  EXPECT_EQ(proxy.messages(Category::Spam), 1u);

  // A store that learned nothing sees the other's changes when it looks again,
  // and keeps its own unsaved ones.
  trainer.refreshIfChanged();
  EXPECT_EQ(trainer.messages(Category::Ham), 1u);
  reader.learn(messageFingerprint(hamMessage(2)), tokeniseMessage(hamMessage(2)), Category::Ham);
  trainer.learn(messageFingerprint(spamMessage(2)), tokeniseMessage(spamMessage(2)),
                Category::Spam);
  ASSERT_TRUE(trainer.save());
  reader.refreshIfChanged();
  EXPECT_EQ(reader.messages(Category::Spam), 2u);
  EXPECT_EQ(reader.messages(Category::Ham), 2u);
  EXPECT_TRUE(reader.dirty());
}

TEST(TokenFile, AFailedSaveKeepsTheChangesPending) {
  TempFolder folder;
  TokenStore store(folder.path() + "missing/folder/");
  learnThree(store);
  EXPECT_FALSE(store.save());
  EXPECT_NE(store.notice().find("could not be created"), std::string::npos) << store.notice();
  EXPECT_TRUE(store.dirty());
  std::filesystem::create_directories(folder.path() + "missing/folder");
  EXPECT_TRUE(store.save());
  EXPECT_EQ(TokenStore(folder.path() + "missing/folder/").messages(Category::Spam), 2u);
}

TEST(MailSources, FilesMboxesMaildirsAndDropFolders) {
  TempFolder folder;
  const std::string& root = folder.path();
  writeText(root + "one.eml", spamMessage(1));
  // An mbox of two messages, the second with a quoted "From " line in its body.
  writeText(root + "box.mbox", "From a@b Mon Jan 1 00:00:00 2024\n" + spamMessage(2) +
                                   "\nFrom c@d Mon Jan 1 00:00:00 2024\n" + spamMessage(3) +
                                   ">From the desk of\n");
  writeText(root + "maildir/cur/1:2,S", hamMessage(1));
  writeText(root + "maildir/new/2", hamMessage(2));
  writeText(root + "maildir/tmp/3", hamMessage(3)); // not delivered yet
  writeText(root + "plain/a", hamMessage(4));
  writeText(root + "plain/.hidden", hamMessage(5));

  std::vector<std::string> seen;
  std::string error;
  ASSERT_TRUE(forEachMessage(
      root + "box.mbox", [&](std::string_view m) { seen.emplace_back(m); }, error));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[1].find("\nFrom the desk of"), std::string::npos);

  TokenStore store(root + "store/");
  const std::tuple<std::string, Category, size_t> sources[] = {
      {root + "one.eml", Category::Spam, 1},
      {root + "box.mbox", Category::Spam, 2},
      {root + "maildir", Category::Ham, 2},
      {root + "plain", Category::Ham, 1},
  };
  for (const auto& [path, category, count] : sources) {
    LearnTally tally;
    EXPECT_TRUE(learnFromSource(store, path, category, tally, error)) << error;
    EXPECT_EQ(tally.learned, count) << path;
  }
  LearnTally again;
  EXPECT_TRUE(learnFromSource(store, root + "one.eml", Category::Ham, again, error));
  EXPECT_EQ(again.moved, 1u);
  EXPECT_EQ(store.messages(Category::Spam), 2u);
  EXPECT_EQ(store.messages(Category::Ham), 4u);
  EXPECT_FALSE(learnFromSource(store, root + "absent", Category::Ham, again, error));
  EXPECT_NE(error.find("absent"), std::string::npos);

  // Drop folders: learned files go, hidden ones stay; files still changing wait.
  std::string config = root + "store/";
  createDropFolders(config);
  writeText(config + kSpamDropFolder + "/new.eml", spamMessage(9));
  writeText(config + kHamDropFolder + "/box", "From x@y Mon Jan 1 00:00:00 2024\n" + hamMessage(8) +
                                                  "\nFrom x@y Mon\n" + hamMessage(9));
  writeText(config + kHamDropFolder + "/.partial", hamMessage(10));
  EXPECT_EQ(learnDropFolders(store, 3600, error).learned, 0u);
  LearnTally dropped = learnDropFolders(store, 0, error);
  EXPECT_EQ(dropped.learned, 3u);
  EXPECT_FALSE(std::filesystem::exists(config + kSpamDropFolder + "/new.eml"));
  EXPECT_FALSE(std::filesystem::exists(config + kHamDropFolder + "/box"));
  EXPECT_TRUE(std::filesystem::exists(config + kHamDropFolder + "/.partial"));
  EXPECT_EQ(store.messages(Category::Spam), 3u);
  EXPECT_EQ(store.messages(Category::Ham), 6u);
}

} // namespace
} // namespace bayes
