// Keeps the record library non-empty before its first source lands.
namespace rs {}
