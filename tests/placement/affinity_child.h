// Helpers for placement tests: the placement caches and the affinity are per
// process, so every case runs in a forked child that reports back a text.
#ifndef TESTS_PLACEMENT_AFFINITY_CHILD_H
#define TESTS_PLACEMENT_AFFINITY_CHILD_H

#include <functional>
#include <string>
#include <vector>

// Runs body in a forked child (bounded wait) and returns the text it
// produced; a child that crashes, hangs or exits non-zero gives a text
// starting with "child failed".
std::string in_child(const std::function<std::string()>& body);

// Text a child returns when a case cannot be set up here; tests skip on it.
extern const char* const CANNOT_SET_UP;

// The CPUs the calling process may run on, ascending.
std::vector<int> allowed_cpus();

// Restricts the calling process to cpus; false when the kernel refuses.
bool restrict_to(const std::vector<int>& cpus);

// "result R on {a,b,...}": a placement result and the allowed set after it.
std::string placed(int result, const std::vector<int>& cpus);

// In a child only: makes sysconf(_SC_NPROCESSORS_ONLN) answer n, by mounting
// a CPU list "0-(n-1)" over the kernel's online file in a private mount
// namespace. False when namespaces or mounts are not available.
bool pretend_online_cpus(int n);

// In a child only: makes every sched_getaffinity call fail with EPERM, by a
// seccomp filter. False when seccomp is not available.
bool refuse_getaffinity();

// In a child only: runs fn with standard error sent to a file and returns
// what fn wrote there.
std::string capture_stderr(const std::function<void()>& fn);

#endif
