// DNMURootListController's collapsible groups, through a subclass that names a test plist and
// records what the controller asks of the host: the values it reads, the rows it shows after an
// anchor, and the rows it hides.
#include <string>
#include <vector>

#include "tests/dunmereprefs/PaneFixture.h"

namespace harbrite::test {
namespace {

using Labels = std::vector<std::string>;
Labels calls;
std::string plistToLoad;

std::string joined(id rows) {
  std::string out;
  for (const auto& r : host::arrayElements(rows)) out += (out.empty() ? "" : ",") + label(r.get());
  return out;
}
Class super(id self) {
  return host::class_getSuperclass(host::object_getClass(self));
}

id testPlistName(id, SEL) {
  return host::autoreleased(host::stringWithUTF8String(plistToLoad));
}
id recordRead(id self, SEL s, id row) {
  calls.push_back("read " + label(row));
  return host::msgSendSuper<id, id>(super(self), self, s, row);
}
void recordShow(id self, SEL s, id rows, id anchor, bool animated) {
  calls.push_back("show " + joined(rows) + " after " + label(anchor) + (animated ? "" : " still"));
  host::msgSendSuper<void, id, id, bool>(super(self), self, s, rows, anchor, animated);
}
void recordHide(id self, SEL s, id rows, bool animated) {
  calls.push_back("hide " + joined(rows) + (animated ? "" : " still"));
  host::msgSendSuper<void, id, bool>(super(self), self, s, rows, animated);
}

class CollapsibleGroups : public PaneFixture {
 protected:
  CollapsibleGroups() {
    cls_ = host::objc_allocateClassPair(host::objc_getClass("DNMURootListController"), "Groups");
    host::class_addMethod(cls_, sel("plistName"), host::toIMP(&testPlistName), "@@:");
    host::class_addMethod(cls_, sel("readPreferenceValue:"), host::toIMP(&recordRead), "@@:@");
    host::class_addMethod(cls_, sel("insertContiguousSpecifiers:afterSpecifier:animated:"),
                          host::toIMP(&recordShow), "v@:@@B");
    host::class_addMethod(cls_, sel("removeContiguousSpecifiers:animated:"),
                          host::toIMP(&recordHide), "v@:@B");
    host::objc_registerClassPair(cls_);
    plistToLoad = "Groups";
  }
  ~CollapsibleGroups() override { hostsim::forgetClass(cls_); }

  // A loaded controller on these rows; `calls` holds what the load asked.
  host::StrongRef load(const std::vector<host::Dictionary>& items) {
    writePlist("Groups", items);
    calls.clear();
    host::StrongRef c = app.makeController("Groups");
    specifiers(c.get());
    return c;
  }
  // Outer switch G owning H, X and Y; inner switch H owning X; Z after both groups.
  host::StrongRef loadNested(bool g, bool h) {
    return load({item("G", {{"nestedEntryCount", 3}, {"key", "g"}, {"default", g}}),
                 item("H", {{"nestedEntryCount", 1}, {"key", "h"}, {"default", h}}), item("X"),
                 item("Y"), item("Z")});
  }
  static void set(id c, const std::string& row, bool on) {
    const host::Value value(on);
    setValue(c, &value, PaneFixture::row(c, row));
  }

 private:
  Class cls_ = nullptr;
};

TEST_F(CollapsibleGroups, NestedGroupsAtLoad) {
  struct Case {
    bool g, h;
    Labels shown, reads;  // inner switches first; a closed outer group collapses inner ones again
  };
  for (const Case& c : {Case{false, true, {"G", "Z"}, {"read H", "read G", "read H"}},
                        Case{false, false, {"G", "Z"}, {"read H", "read G", "read H"}},
                        Case{true, false, {"G", "H", "Y", "Z"}, {"read H", "read G"}},
                        Case{true, true, {"G", "H", "X", "Y", "Z"}, {"read H", "read G"}}}) {
    host::StrongRef controller = loadNested(c.g, c.h);
    EXPECT_EQ(labels(specifiers(controller.get())), c.shown) << "G " << c.g << ", H " << c.h;
    EXPECT_EQ(calls, c.reads) << "G " << c.g << ", H " << c.h;
    EXPECT_EQ(labels(ivarList(controller.get(), "_allSpecifiers")),
              (Labels{"G", "H", "X", "Y", "Z"}));
  }
}

TEST_F(CollapsibleGroups, SwitchingNestedGroups) {
  struct Case {
    bool g, h;
    std::string row;
    bool on;
    std::string call;
    Labels shown;
  };
  for (const Case& c :
       {Case{false, false, "G", true, "show H,Y after G", {"G", "H", "Y", "Z"}},
        Case{true, true, "G", false, "hide H,X,Y", {"G", "Z"}},
        Case{true, false, "G", false, "hide H,Y", {"G", "Z"}},
        Case{true, false, "H", true, "show X after H", {"G", "H", "X", "Y", "Z"}}}) {
    host::StrongRef controller = loadNested(c.g, c.h);
    set(controller.get(), c.row, c.on);
    EXPECT_EQ(calls.back(), c.call);
    EXPECT_EQ(labels(specifiers(controller.get())), c.shown) << c.call;
    // PSListController stored the value first.
    EXPECT_EQ(readValue(controller.get(), row(controller.get(), c.row)), host::Value(c.on));
  }
}

// A switch S followed by P and Q, with no value: hidden at load, shown on switching S on.
// Counts are read as intValue reads them and never reach outside the full list.
TEST_F(CollapsibleGroups, CountsAtTheEdges) {
  struct Case {
    host::Value count;
    Labels shown, onSwitching;
  };
  const std::int64_t lowBitsOne = (std::int64_t{1} << 32) + 1;
  for (const Case& c : {Case{0, {"S", "P", "Q"}, {"read S", "show  after S"}},
                        Case{2, {"S"}, {"read S", "show P,Q after S"}},
                        Case{10, {"S"}, {"read S", "show P,Q after S"}},
                        Case{-1, {"S", "P", "Q"}, {"read S", "show  after S"}},
                        Case{"1", {"S", "Q"}, {"read S", "show P after S"}},
                        Case{1.9, {"S", "Q"}, {"read S", "show P after S"}},
                        Case{true, {"S", "Q"}, {"read S", "show P after S"}},
                        Case{lowBitsOne, {"S", "Q"}, {"read S", "show P after S"}}}) {
    host::StrongRef controller =
        load({item("S", {{"nestedEntryCount", c.count}, {"key", "s"}}), item("P"), item("Q")});
    EXPECT_EQ(labels(specifiers(controller.get())), c.shown) << sim::formatValue(c.count);
    set(controller.get(), "S", true);
    EXPECT_EQ(calls, c.onSwitching) << sim::formatValue(c.count);
    EXPECT_EQ(labels(specifiers(controller.get())), (Labels{"S", "P", "Q"}));
  }
  // A switch that the full list does not hold owns nothing.
  host::StrongRef controller = load({item("A", {{"key", "a"}})});
  host::StrongRef stray = app.makeSpecifier(item("Stray", {{"nestedEntryCount", 2}, {"key", "k"}}));
  set(controller.get(), "A", true);  // without switches, a change only stores
  const host::Value off(false);
  setValue(controller.get(), &off, stray.get());
  EXPECT_EQ(calls, (Labels{"hide "}));
  EXPECT_EQ(labels(specifiers(controller.get())), (Labels{"A"}));

  const host::StrongRef empty = host::mutableArrayWithObjects({});
  host::msgSend<void, id>(controller.get(), sel("removeDisabledGroups:"), empty.get());
  EXPECT_EQ(host::CFArrayGetCount(empty.get()), 0u);
}

TEST_F(CollapsibleGroups, LoadsOnceAndAgainWhenThereIsNoList) {
  host::StrongRef c = load({item("A"), item("B")});
  const SpecifierList first = specifiers(c.get());
  EXPECT_EQ(specifiers(c.get()), first);  // the same objects: not loaded again

  // The host dropped the list.
  host::Ivar live = host::class_getInstanceVariable(host::object_getClass(c.get()), "_specifiers");
  host::objc_release(host::object_getIvar(c.get(), live));
  host::object_setIvar(c.get(), live, nullptr);
  plistToLoad = "Later";
  EXPECT_FALSE(specifiers(c.get()));  // no such plist
  EXPECT_FALSE(ivarList(c.get(), "_allSpecifiers"));
  writePlist("Later", {item("C")});
  const SpecifierList again = specifiers(c.get());
  EXPECT_EQ(labels(again), (Labels{"C"}));
  EXPECT_EQ(ivarList(c.get(), "_allSpecifiers"), again);

  host::StrongRef base = app.makeController("DNMURootListController");  // names no plist
  EXPECT_FALSE(specifiers(base.get()));
}

}  // namespace
}  // namespace harbrite::test
