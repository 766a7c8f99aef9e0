set(KISTWERK_PFC_SOURCES
  pfc/input.cpp
  pfc/output.cpp
  pfc/container.cpp
  pfc/run.cpp
  pfc/parallel.cpp
)
