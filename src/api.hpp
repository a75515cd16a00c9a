// What the core library exports.  The core is one shared library per process, linked by both
// extension modules, so that a process holds one integrator pool, one fallback lock and one
// binding of the message routine.  Everything else in it stays hidden: its thread-local state
// is then reached without the dynamic lookup that exported thread-locals need.
#pragma once

#define KELP_API __attribute__((visibility("default")))
