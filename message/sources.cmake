set(KISTWERK_MESSAGE_SOURCES
  message/message.cpp
)
