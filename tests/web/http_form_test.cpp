// Form decoding, the route table and the mapping of request paths onto files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/tempdir.h"
#include "web/http_files.h"
#include "web/http_form.h"
#include "web/url_route.h"

TEST(HttpForm, UrlAndPercentDecoding) {
  struct Case {
    std::string in, form, path;
  } cases[] = {
      {"%4a%4A", "JJ", "JJ"},
      {"a+b", "a b", "a+b"},
      {"50%", "50%", "50%"},
      {"x%4", "x%4", "x%4"},  // a "%" with one character after it stays
      {"%zz%2", "%zz%2", "%zz%2"},
      {"%00%2e%2E", std::string("\0..", 3), std::string("\0..", 3)},
      {"%e2%82%ac", "\xe2\x82\xac", "\xe2\x82\xac"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HttpUrlDecode(c.in), c.form) << c.in;
    EXPECT_EQ(HttpPercentDecode(c.in), c.path) << c.in;
  }
}

TEST(HttpForm, RepeatedNamesJoinAndTheRequestQuotaHolds) {
  HttpFormVariables vars;
  ASSERT_TRUE(HttpParseForm("a=1&b=x+y&&a=2&c&%61=3&=e", vars));
  std::string v;
  ASSERT_TRUE(vars.Find("a", v));
  EXPECT_EQ(v, "1\x1c" "2\x1c" "3");
  ASSERT_TRUE(vars.Find("b", v));
  EXPECT_EQ(v, "x y");
  ASSERT_TRUE(vars.Find("c", v));
  EXPECT_EQ(v, "");
  ASSERT_TRUE(vars.Find("", v));
  EXPECT_EQ(v, "e");
  // Names keep the order in which they first came, through replacing and removing.
  vars.Replace("b", "new");
  vars.Remove("c");
  vars.Replace("z", "last");
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(vars.InOrder(), (Pairs{{"a", "1\x1c" "2\x1c" "3"}, {"b", "new"}, {"", "e"}, {"z", "last"}}));

  // 1,000 values in all are taken, however they are split; handlers' own are not counted.
  HttpFormVariables many;
  std::string text;
  for (int i = 0; i < 999; ++i) text += "v" + std::to_string(i % 10) + "=1&";
  ASSERT_TRUE(HttpParseForm(text + "last=1", many));
  many.Set("handler", "x");
  EXPECT_FALSE(HttpParseForm("one=more", many));
  EXPECT_FALSE(many.Find("one", v));
}

TEST(UrlRoute, LongestPrefixWithoutRegardToCase) {
  UrlRouteTable table;
  std::string hit;
  auto to = [&hit](std::string name) { return [&hit, name](HttpRequest&) { hit = name; }; };
  table.AddPage("", to("default"));
  table.AddPage("Admin", to("admin"));
  table.AddPage("Display", to("display"));
  table.AddPage("DisplayX", to("first"));
  table.AddPage("displayx", to("second"));
  table.AddDirectory("images", "/srv/images");
  struct Case {
    const char* path;
    const char* prefix;
  } cases[] = {{"/", "/"},           {"/admin", "/Admin"},     {"/ADMINistrate", "/Admin"},
               {"/Display", "/Display"}, {"/displayxy", "/DisplayX"}, {"/images/a.gif", "/images"},
               {"/imagesX", "/images"},  {"/other", "/"}};
  for (const Case& c : cases) {
    UrlRoute route;
    ASSERT_TRUE(table.Match(c.path, route)) << c.path;
    EXPECT_EQ(route.prefix, c.prefix) << c.path;
  }
  UrlRoute route;
  EXPECT_FALSE(table.Match("images", route));
  ASSERT_TRUE(table.Match("/Images/x", route));
  EXPECT_EQ(route.kind, kUrlRouteDirectory);
  EXPECT_EQ(route.directory, "/srv/images");
  // Handlers by name: exact and with letter case.
  EXPECT_FALSE(table.Handler("admin"));
  ASSERT_TRUE(table.Handler("Admin"));
  EXPECT_FALSE(table.Handler("images"));
  EXPECT_EQ(table.Count(), 6);
}

TEST(HttpFiles, OnlyRegularFilesInsideTheDirectory) {
  TempDir dir;
  std::string images = dir.Path() + "/images";
  ASSERT_EQ(mkdir(images.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((images + "/sub").c_str(), 0755), 0);
  dir.Write("images/a b.gif", "GIF");
  dir.Write("images/sub/c.jpg", "JPG");
  dir.Write("secret", "no");
  dir.Write("imagesX", "no");
  ASSERT_EQ(symlink("../secret", (images + "/out.gif").c_str()), 0);
  ASSERT_EQ(symlink("sub/c.jpg", (images + "/in.jpg").c_str()), 0);
  struct Case {
    const char* rest;
    const char* found;  // null: refused
  } cases[] = {
      {"/a%20b.gif", "a b.gif"}, {"/sub/c.jpg", "sub/c.jpg"}, {"//sub//c.jpg", "sub/c.jpg"},
      {"/in.jpg", "sub/c.jpg"},  {"", nullptr},               {"/", nullptr},
      {"/sub", nullptr},         {"/sub/", nullptr},          {"X", nullptr},
      {"/../secret", nullptr},   {"/%2e%2e/secret", nullptr}, {"/..%2fsecret", nullptr},
      {"/sub/%2E%2E/a%20b.gif", nullptr}, {"/out.gif", nullptr}, {"/a%5c..", nullptr},
      {"/a%00.gif", nullptr},    {"/missing.gif", nullptr},
  };
  for (const Case& c : cases) {
    std::string file;
    bool found = HttpResolveFile(images, c.rest, file);
    EXPECT_EQ(found, c.found != nullptr) << c.rest;
    if (found && c.found) {
      EXPECT_TRUE(file.ends_with(std::string("/images/") + c.found)) << file;
    }
  }
  const std::pair<const char*, const char*> types[] = {
      {"x.GIF", "image/gif"}, {"x.jpg", "image/jpeg"}, {"x.JPEG", "image/jpeg"},
      {"x.html", "text/html"}, {"x.pdf", "application/pdf"}, {"x.htm", "application/octet-stream"},
      {"a.gif/x", "application/octet-stream"}, {"gif", "application/octet-stream"}};
  for (const auto& [path, type] : types) EXPECT_EQ(HttpMediaType(path), type) << path;
}
