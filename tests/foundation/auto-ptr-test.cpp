#include "foundation/auto-ptr.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

struct Tracked : fn::RefCountedObject {
  explicit Tracked(int *destroyed) : destroyed(destroyed) {}
  ~Tracked() override { ++*destroyed; }
  int *destroyed;
};

struct Derived : Tracked {
  Derived(int *destroyed, bool *revived) : Tracked(destroyed), revived(revived) {}
  ~Derived() override {
    // A lookup that races with the last release must not resurrect the object.
    *revived = fn::AutoPtr<Derived>::borrow(this) != nullptr;
  }
  bool *revived;
};

int
refcount(const void *mini_object) {
  return GST_MINI_OBJECT_REFCOUNT_VALUE(mini_object);
}

TEST(AutoPtr, CountsReferencesOfCountedObjects) {
  int destroyed = 0;
  {
    fn::AutoPtr<Tracked> a = fn::makeAuto<Tracked>(&destroyed);
    EXPECT_EQ(a->referenceCount(), 1);
    fn::AutoPtr<Tracked> b = a;
    EXPECT_EQ(a->referenceCount(), 2);
    fn::AutoPtr<Tracked> c = fn::AutoPtr<Tracked>::borrow(a.get());
    EXPECT_EQ(a->referenceCount(), 3);
    fn::AutoPtr<Tracked> d = std::move(b);
    EXPECT_FALSE(b);
    EXPECT_EQ(a->referenceCount(), 3);
    c = d;  // same object: no change
    EXPECT_EQ(a->referenceCount(), 3);
    c = nullptr;
    d.reset();
    EXPECT_EQ(a->referenceCount(), 1);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(AutoPtr, UpcastsAndRefusesObjectsBeingDestroyed) {
  int destroyed = 0;
  bool revived = true;
  fn::AutoPtr<Derived> derived = fn::makeAuto<Derived>(&destroyed, &revived);
  Derived *raw = derived.get();
  fn::AutoPtr<Tracked> base = derived;
  EXPECT_EQ(raw->referenceCount(), 2);
  derived.reset();
  EXPECT_EQ(destroyed, 0);
  base.reset();
  EXPECT_EQ(destroyed, 1);
  EXPECT_FALSE(revived);
}

TEST(AutoPtr, DereferencingNullThrowsWithClassName) {
  fn::AutoPtr<Tracked> empty;
  try {
    (void)empty->destroyed;
    FAIL() << "no exception";
  } catch (const fn::NullPointerException &e) {
    EXPECT_STREQ(e.what(),
                 "Attempted to dereference NULL pointer of class (anonymous namespace)::Tracked");
  }
  fn::AutoPtr<GstCaps> caps;
  EXPECT_THROW(*caps, fn::NullPointerException);
}

TEST(AutoPtr, HoldsMiniObjectsWithoutLeakOrDoubleUnref) {
  GstBuffer *raw = gst_buffer_new_allocate(nullptr, 16, nullptr);
  {
    fn::AutoPtr<GstBuffer> adopted(raw);
    EXPECT_EQ(refcount(raw), 1);
    std::vector<fn::AutoPtr<GstBuffer>> list(3, adopted);
    EXPECT_EQ(refcount(raw), 4);
    // A copied buffer is not writable: the handle must not hide shared ownership.
    EXPECT_FALSE(gst_buffer_is_writable(raw));
    list.clear();
    EXPECT_EQ(refcount(raw), 1);
    GstBuffer *out = adopted.release();
    EXPECT_EQ(out, raw);
    fn::AutoPtr<GstBuffer> again(out);
  }

  GstCaps *caps = gst_caps_from_string("audio/x-raw");
  {
    fn::AutoPtr<GstCaps> borrowed = fn::AutoPtr<GstCaps>::borrow(caps);
    EXPECT_EQ(refcount(caps), 2);
  }
  EXPECT_EQ(refcount(caps), 1);
  gst_caps_unref(caps);

  fn::AutoPtr<GstEvent> eos(gst_event_new_eos());
  fn::AutoPtr<GstEvent> copy = eos;
  EXPECT_EQ(refcount(eos.get()), 2);
  EXPECT_EQ(GST_EVENT_TYPE(copy.get()), GST_EVENT_EOS);
}

TEST(AutoPtr, CountsStayExactUnderConcurrentCopies) {
  int destroyed = 0;
  fn::AutoPtr<Tracked> shared = fn::makeAuto<Tracked>(&destroyed);
  GstBuffer *buffer = gst_buffer_new();
  fn::AutoPtr<GstBuffer> shared_buffer(buffer);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        fn::AutoPtr<Tracked> a = shared;
        fn::AutoPtr<Tracked> b = fn::AutoPtr<Tracked>::borrow(a.get());
        fn::AutoPtr<GstBuffer> c = shared_buffer;
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(shared->referenceCount(), 1);
  EXPECT_EQ(refcount(buffer), 1);
  EXPECT_EQ(destroyed, 0);
}

}  // namespace
