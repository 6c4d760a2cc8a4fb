#pragma once
// CQtAppScope: makes sure a QApplication exists while it lives. It creates one
// only when there is none yet (a test may have made its own) and destroys only
// the one it created.
#include <QApplication>
#include <memory>

class CQtAppScope {
 public:
  CQtAppScope();
  ~CQtAppScope();
  CQtAppScope(const CQtAppScope&) = delete;
  CQtAppScope& operator=(const CQtAppScope&) = delete;

 private:
  std::unique_ptr<QApplication> m_app;
};
