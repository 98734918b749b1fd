// placeholder while the format moves
