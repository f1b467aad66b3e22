// Placeholder until the launcher lands.
int main() { return 0; }
