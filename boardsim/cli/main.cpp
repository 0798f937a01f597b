// Placeholder until the boardsim command is built.
int main() { return 1; }
