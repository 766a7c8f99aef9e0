set(KISTWERK_MESSAGE_SOURCES
  message/body.cpp
  message/dates.cpp
  message/fields.cpp
  message/header.cpp
  message/message.cpp
)
