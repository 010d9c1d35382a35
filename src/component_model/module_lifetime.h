// How long the shared library is needed: live objects, server locks, and objects whose last
// bits wait for a moment when none of their code is running.
#pragma once

#include <functional>

namespace tarselctl::module_lifetime {

/// Every object the library hands out counts from creation to destruction.
void ObjectCreated() noexcept;
void ObjectDestroyed() noexcept;
void Lock() noexcept;
/// False (and nothing changes) when no lock is held.
bool Unlock() noexcept;

/// Runs `finish` at the next safe point: a call from the host into the library that no code
/// of the library's objects is below on the stack (class-object requests, instance
/// creation, DllCanUnloadNow). Used for objects that cannot free themselves from inside
/// their own callbacks.
void FinishLater(std::function<void()> finish);
/// Runs what FinishLater collected. Call only from a safe point.
void RunFinishers();

/// No object alive and no lock held (after running the finishers).
bool CanUnload();

}  // namespace tarselctl::module_lifetime
