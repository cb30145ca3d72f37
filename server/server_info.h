// What the server says about itself to clients that ask (Wyoming info, the models list).
#ifndef ORVANE_SERVER_SERVER_INFO_H
#define ORVANE_SERVER_SERVER_INFO_H

#include <string>
#include <vector>

struct ServerInfo {
  std::string version = ORVANE_VERSION;
  std::string description = "Orvane streaming speech-to-text, on this machine";
  std::string model_description = "Orvane streaming speech-to-text model";
  std::string attribution = "Orvane";
  std::string url;  // none published
  std::vector<std::string> languages;  // advertised; the model is never told one
};

#endif
