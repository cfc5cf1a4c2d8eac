// The smallest real Windows program: the bundler's tests pack and read it.
int main() {
  return 0;
}
