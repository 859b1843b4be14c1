// The six results of a run replace the previous ones all together or not at all.
//
// Each output is written under a temporary name beside its final name (a hidden
// ".NAME.tmp-PID", which no run reads as a result) and the six are renamed over
// their final names only when all of them are complete, synced and closed. Until
// then every way out of the run (a fatal message, the end of the input, an
// exception, SIGINT, SIGTERM, SIGHUP and the other signals that end a process
// without a fault of its own) removes the temporaries and leaves the
// previous results exactly as they were. Two runs writing the same results are
// serialised by a lock on the result set.
#ifndef ATOMIC_OUTPUTS_H
#define ATOMIC_OUTPUTS_H

#include <cstdio>
#include <string>

// The Spanish cause of a failed system call ("no existe", "permiso denegado",
// "es una carpeta", "disco lleno"...), for the end of a message.
std::string cause_of(int error);

// Why the final name `host_path` cannot take a result (a folder stands there, a
// file there cannot be written, the folder cannot be written...), or "" when it can.
std::string refusal_of_output(const std::string &host_path);

// Creates the temporary of output `slot` (0..5) for the final name `host_path`,
// open for writing in `mode`; null with errno set when it cannot be created. The
// first call of a run forgets the temporaries of any earlier run of the process.
std::FILE *create_temporary(int slot, const std::string &host_path, const char *mode);

// Writes out, syncs and closes one output; false with errno set on failure.
bool close_synced(std::FILE *f);

// The lock of a result set: a hidden file beside the results (`host_lock_path`),
// locked with flock from before the temporaries are created until the six are
// renamed, so that two runs on the same results follow one another. The file is
// removed when the lock is given back; a run killed with SIGKILL leaves it, and
// the next run takes it over. Without `wait`, busy when another run holds it;
// failed with errno set when the file cannot be made. A lock held from an earlier
// run of the process is given back first.
enum class LockState { held, busy, failed };
LockState lock_result_set(const std::string &host_lock_path, bool wait);

// Renames every temporary over its final name, all or none: the previous results
// are kept under hidden names until the six are in place, and a failed rename puts
// them back. False with errno set (and the index of the output in *failed) on
// failure, after removing the temporaries left. Gives back the lock. Signals that
// end the run wait until the renames are done.
bool commit_outputs(int *failed);

// Removes the temporaries of the run and gives back its lock (also done at exit
// and on the signals).
void discard_outputs();

#endif
