// The sidebar host stand-in library.
