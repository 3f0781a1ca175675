#ifndef RUNNER_INTERPRETER_CHILD_H_
#define RUNNER_INTERPRETER_CHILD_H_

// When runner is started as the Python program's interpreter rather than as
// the application: a multiprocessing child's command line, a name that says
// python (a virtual environment's interpreter), or a start from within the
// application's own processes, where sys.executable is runner.

// The variable through which the application's processes, and everything
// they start, know the application; set on the application path of main,
// before any thread exists.
constexpr char kApplicationPidVariable[] = "ZEMTRA_NORVALE_APPLICATION_PID";

// When this start is an interpreter's, runs the process as a Python
// interpreter and returns true with its exit status; false otherwise.
bool run_as_interpreter_child(int argc, char** argv, int* status);

#endif  // RUNNER_INTERPRETER_CHILD_H_
