// placeholder until implemented
int main() { return 1; }
