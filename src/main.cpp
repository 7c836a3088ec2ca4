// Placeholder until the host application lands.
int main() { return 0; }
