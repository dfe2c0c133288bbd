// A stand-in for the system's help program, planted in the sandbox's Windows
// folder for its cursor resource; it is loaded, never run.
int main() { return 0; }
