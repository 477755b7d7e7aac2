// placeholder until the stage is written
