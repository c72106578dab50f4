// Output names from a template: the fields, and every value a hostile or
// broken data set can put in them, must give one plain name in the folder.
#include "output/name_template.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(NameTemplate, ExpandsAndSanitises) {
  const NameFields study{"A 12", "20010315", "143005.000000", "1.2.826.0.1.3680043.9.7133.1.1"};
  const std::string longId(300, 'P');
  const struct {
    const char* label;
    std::string nameTemplate;
    NameFields fields;
    std::string expected;
  } rows[] = {
      {"default", "%i_%d_%t_%u.gsd", study, "A_12_20010315_143005.000000_3.9.7133.1.1.gsd"},
      {"percent sign", "%%%i.gsd", study, "%A_12.gsd"},
      {"short UID whole", "%u", {"", "", "", "1.2"}, "1.2"},
      {"empty fields", "%i_%d.gsd", {"", "", "", ""}, "unknown_unknown.gsd"},
      {"padding dropped", "%i.gsd", {"ID  ", "", "", ""}, "ID.gsd"},
      {"path in a field", "%i.gsd", {"../../etc/passwd", "", "", ""}, "_._.._etc_passwd.gsd"},
      {"leading dot", "%i", {"..", "", "", ""}, "_."},
      {"leading dash", "%i.gsd", {"-rf", "", "", ""}, "_rf.gsd"},
      {"leading dash in the template", "-%i", {"x", "", "", ""}, "_x"},
      {"control and high bytes", "%i.gsd", {"a\nb\x7f\xe9z", "", "", ""}, "a_b__z.gsd"},
      {"separator only", "%i.gsd", {"/", "", "", ""}, "unknown.gsd"},
      {"field cut", "%i", {longId, "", "", ""}, std::string(kNameFieldMax, 'P')},
      {"literal odd bytes", "a b*c.gsd", study, "a_b_c.gsd"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(ExpandNameTemplate(row.nameTemplate, row.fields), row.expected) << row.label;
}

TEST(NameTemplate, WholeNameBounded) {
  const NameFields big{std::string(100, 'i'), std::string(100, 'd'), std::string(100, 't'), ""};
  std::string name = ExpandNameTemplate("%i%d%t%i%d%t.gsd", big);
  EXPECT_EQ(name.size(), kNameMax);
}

TEST(NameTemplate, RefusesTemplatesThatLeaveTheFolder) {
  const struct {
    const char* nameTemplate;
    bool good;
  } rows[] = {{"%i_%d_%t_%u.gsd", true}, {"study.gsd", true}, {"%%", true},   {"", false},
              {"sub/%i.gsd", false},     {"%x.gsd", false},   {"%i%", false}, {"a\tb", false}};
  for (const auto& row : rows) {
    EXPECT_EQ(NameTemplateError(row.nameTemplate).empty(), row.good) << row.nameTemplate;
    if (!row.good) {
      EXPECT_EQ(ExpandNameTemplate(row.nameTemplate, NameFields{}), "");
    }
  }
}

}  // namespace
