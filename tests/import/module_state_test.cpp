#include "import/module_state.h"

#include <gtest/gtest.h>

namespace zeb::import {
namespace {

TEST(ModuleStateTest, start_up_sets_the_start_values) {
  boImport = false;
  boPost = boEmail = boInternet = boDetAtiv = boRegsImp = true;
  moduleStartUp();
  EXPECT_TRUE(boImport);
  EXPECT_FALSE(boPost);
  EXPECT_FALSE(boEmail);
  EXPECT_FALSE(boInternet);
  EXPECT_FALSE(boDetAtiv);
  EXPECT_FALSE(boRegsImp);
}

TEST(ModuleStateTest, load_leaves_the_others_empty) {
  // Nothing in this test program creates a screen or prepares a work file.
  EXPECT_FALSE(boStCriado);
  EXPECT_EQ(frmImpEmailInternet, nullptr);
  EXPECT_EQ(inLinhas, 0);
  EXPECT_EQ(stAno, "");
  EXPECT_EQ(stArqTemp, "");
}

TEST(ModuleStateTest, shut_down_releases_the_texts) {
  stAno = "2025";
  stArqTemp = "/tmp/tmpXYZ";
  moduleShutDown();
  EXPECT_EQ(stAno, "");
  EXPECT_EQ(stArqTemp, "");
}

}  // namespace
}  // namespace zeb::import
