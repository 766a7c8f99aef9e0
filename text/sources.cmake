set(KISTWERK_TEXT_SOURCES
  text/fold.cpp
  text/filter.cpp
)
